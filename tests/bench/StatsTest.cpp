#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "Stats.h"

namespace {

TEST(SummarizeTest, MedianPercentileAndExtremesOfUnsortedSamples) {
  const bench::Summary odd = bench::summarize({5, 1, 4, 2, 3});
  EXPECT_EQ(odd.count, 5u);
  EXPECT_DOUBLE_EQ(odd.min, 1);
  EXPECT_DOUBLE_EQ(odd.median, 3);
  EXPECT_DOUBLE_EQ(odd.max, 5);
  // Nearest rank: with fewer than 100 samples the 99th percentile is the largest.
  EXPECT_DOUBLE_EQ(odd.p99, 5);

  EXPECT_DOUBLE_EQ(bench::summarize({4, 1, 3, 2}).median, 2.5);

  std::vector<double> hundred;
  for (int i = 100; i >= 1; --i) hundred.push_back(i);
  EXPECT_DOUBLE_EQ(bench::summarize(hundred).p99, 99);
  hundred.push_back(1000);  // 101 samples: rank 100
  EXPECT_DOUBLE_EQ(bench::summarize(hundred).p99, 100);

  const bench::Summary none = bench::summarize({});
  EXPECT_EQ(none.count, 0u);
  EXPECT_DOUBLE_EQ(none.max, 0);
}

TEST(MarkdownTableTest, RowsShowFiguresTargetsAndWhetherTheyAreMet) {
  const std::string table = bench::markdownTable({
      {"Pulse (ms)", bench::summarize({500.1, 500.3}), 1, "<= 501", true},
      {"Scan (ms)", bench::summarize({60}), 0, "<= 50 ms", false},
      {"Baseline (%)", bench::summarize({}), 1, "", std::nullopt},
  });
  EXPECT_EQ(table,
            "| Measurement | n | Min | Median | p99 | Max | Target | Met |\n"
            "| --- | ---: | ---: | ---: | ---: | ---: | --- | --- |\n"
            "| Pulse (ms) | 2 | 500.1 | 500.2 | 500.3 | 500.3 | <= 501 | yes |\n"
            "| Scan (ms) | 1 | 60 | 60 | 60 | 60 | <= 50 ms | **no** |\n"
            "| Baseline (%) | 0 | - | - | - | - | - | - |\n");
}

TEST(ReplyModelTest, ReplyLengthsFollowTheRelayStates) {
  bench::ReplyModel module;
  // "relay read 0" echoed, "\r\n", "off", "\r\n>".
  EXPECT_EQ(module.take("relay read 0"), 12u + 2 + 3 + 3);
  EXPECT_EQ(module.take("relay on 0"), 10u + 2 + 0 + 3);
  EXPECT_TRUE(module.relay(0));
  EXPECT_EQ(module.take("relay read 0"), 12u + 2 + 2 + 3);
  EXPECT_EQ(module.take("relay read 1"), 12u + 2 + 3 + 3);
  EXPECT_EQ(module.take("relay off 0"), 11u + 2 + 0 + 3);
  EXPECT_FALSE(module.relay(0));
  EXPECT_EQ(module.take("id get"), 6u + 2 + 8 + 3);
  EXPECT_EQ(bench::ReplyModel("X").take("id get"), 6u + 2 + 1 + 3);
  // Anything else is an error, and switches nothing.
  EXPECT_EQ(module.take("relay on 2"), 10u + 2 + 5 + 3);
  EXPECT_FALSE(module.relay(1));
}

TEST(ReplyModelTest, ByteTimeIsTenBitsAt9600Baud) { EXPECT_NEAR(bench::kByteMs, 1.0417, 1e-4); }

}  // namespace
