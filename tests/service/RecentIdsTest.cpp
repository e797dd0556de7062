#include "service/RecentIds.h"

#include <gtest/gtest.h>

#include <QByteArray>
#include <chrono>
#include <vector>

namespace {

using namespace std::chrono_literals;
using service::RecentIds;

struct RecentIdsTest : ::testing::Test {
  std::chrono::steady_clock::time_point now{};
  RecentIds ids{[this] { return now; }};
  std::vector<QByteArray> replies;
  RecentIds::Reply reply = [this](const QByteArray& answer) { replies.push_back(answer); };
};

TEST_F(RecentIdsTest, RepeatWithinTheWindowIsAnsweredAgainNotRun) {
  EXPECT_FALSE(ids.repeated({}, reply, true));
  EXPECT_FALSE(ids.repeated({}, reply, true));
  EXPECT_FALSE(ids.repeated("7", reply, true));
  // A string "7" is another id than the number 7, and a long number is told apart by its text.
  EXPECT_FALSE(ids.repeated("123456789012345678901234567890", reply, true));
  EXPECT_FALSE(ids.repeated("123456789012345678901234567891", reply, true));
  EXPECT_FALSE(ids.repeated(R"("7")", reply, true));

  // While the first runs: one caller waits for its answer, the other does not.
  EXPECT_TRUE(ids.repeated("7", reply, true));
  EXPECT_TRUE(ids.repeated("7", reply, false));
  EXPECT_TRUE(replies.empty());
  ids.answered("7", "first");
  EXPECT_EQ(replies, std::vector<QByteArray>{"first"});

  now += RecentIds::kWindow - 1s;
  EXPECT_TRUE(ids.repeated("7", reply, false));
  EXPECT_EQ(replies.size(), 2u);
  EXPECT_EQ(replies.back(), "first");

  // Past the window the id is new again and runs.
  now += 2s;
  EXPECT_FALSE(ids.repeated("7", reply, true));
}

TEST_F(RecentIdsTest, OldestForgottenBeyondTheMostRemembered) {
  for (std::size_t i = 0; i <= RecentIds::kMostRemembered; ++i) {
    ASSERT_FALSE(ids.repeated(QByteArray::number(i), reply, true));
  }
  EXPECT_TRUE(ids.repeated(QByteArray::number(RecentIds::kMostRemembered), reply, true));
  EXPECT_FALSE(ids.repeated("0", reply, true));
}

}  // namespace
