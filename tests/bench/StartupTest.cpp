#include <gtest/gtest.h>

#include <string>

#include "Startup.h"

namespace {

class StartupTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    if (!server.start(error)) GTEST_SKIP() << error;
  }
  bench::XServer server;
};

TEST_F(StartupTest, SeesThePanelsWindowAppearAndReadsItsPeakSize) {
  std::string error;
  const auto sample = bench::measureStartup(QUILLMAR_PROGRAM, server.display(), error);
  ASSERT_TRUE(sample) << error;
  EXPECT_GT(sample->shownMs, 0);
  EXPECT_LT(sample->shownMs, 20'000);
  // A Qt program holds megabytes; a zero would mean the size was read from a process gone.
  EXPECT_GT(sample->peakRssKiB, 1024);
}

TEST_F(StartupTest, AProgramThatEndsWithoutAWindowIsReported) {
  std::string error;
  EXPECT_FALSE(bench::measureStartup("true", server.display(), error));
  EXPECT_NE(error.find("ended before its window was shown"), std::string::npos) << error;
  EXPECT_FALSE(bench::measureStartup("/nonexistent/quillmar", server.display(), error));
  EXPECT_FALSE(error.empty());
}

}  // namespace
