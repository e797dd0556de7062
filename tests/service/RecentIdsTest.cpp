#include "service/RecentIds.h"

#include <gtest/gtest.h>

#include <QJsonValue>
#include <QString>
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
  EXPECT_FALSE(ids.repeated(QJsonValue(QJsonValue::Undefined), reply, true));
  EXPECT_FALSE(ids.repeated(QJsonValue(QJsonValue::Undefined), reply, true));
  EXPECT_FALSE(ids.repeated(7, reply, true));
  // A string "7" is another id than the number 7.
  EXPECT_FALSE(ids.repeated(QStringLiteral("7"), reply, true));

  // While the first runs: one caller waits for its answer, the other does not.
  EXPECT_TRUE(ids.repeated(7, reply, true));
  EXPECT_TRUE(ids.repeated(7, reply, false));
  EXPECT_TRUE(replies.empty());
  ids.answered(7, "first");
  EXPECT_EQ(replies, std::vector<QByteArray>{"first"});

  now += RecentIds::kWindow - 1s;
  EXPECT_TRUE(ids.repeated(7, reply, false));
  EXPECT_EQ(replies.size(), 2u);
  EXPECT_EQ(replies.back(), "first");

  // Past the window the id is new again and runs.
  now += 2s;
  EXPECT_FALSE(ids.repeated(7, reply, true));
}

TEST_F(RecentIdsTest, OldestForgottenBeyondTheMostRemembered) {
  for (std::size_t i = 0; i <= RecentIds::kMostRemembered; ++i) {
    ASSERT_FALSE(ids.repeated(static_cast<int>(i), reply, true));
  }
  EXPECT_TRUE(ids.repeated(static_cast<int>(RecentIds::kMostRemembered), reply, true));
  EXPECT_FALSE(ids.repeated(0, reply, true));
}

}  // namespace
