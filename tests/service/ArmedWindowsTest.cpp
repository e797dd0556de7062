#include <gtest/gtest.h>

#include <QJsonArray>
#include <QJsonObject>
#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "service/ArmedWindows.h"

namespace {

using namespace std::chrono_literals;
using rig::FailureKind;
using service::ArmedWindows;
using Time = ArmedWindows::TimePoint;

const Time kNow = Time(std::chrono::seconds(1796641200));

service::ClockStatus synchronizedClock(bool synchronized) {
  service::ClockStatus status;
  status.synchronized = synchronized;
  return status;
}

service::Request armedAt(Time at, bool localClock = false, int repeat = 1) {
  service::Request request;
  request.action = service::Action::Shutter;
  request.shot = service::ShotTime{at, localClock};
  request.ticket = std::make_shared<service::Ticket>();
  if (repeat > 1) request.times.repeat = repeat;
  return request;
}

// What the rig is kept for when the armed request comes, and whether it may have it.
struct Row {
  const char* name;
  std::chrono::milliseconds at;  // the shot's time from now
  bool localClock = false;
  bool synchronized = true;
  std::optional<std::chrono::milliseconds> running;  // the running action's length, started now
  std::chrono::milliseconds queued{0};               // unarmed work queued
  std::vector<std::chrono::milliseconds> armed;      // shots armed before (each 500 ms long)
  std::optional<FailureKind> refused;
  std::chrono::milliseconds lead{0};  // a rig file's focus lead
};

TEST(ArmedWindows, DecidesEachArmedRequest) {
  const std::nullopt_t fires = std::nullopt;
  const std::vector<Row> rows = {
      {"free rig", 2s, false, true, {}, 0ms, {}, fires},
      {"passed", -1ms, false, true, {}, 0ms, {}, FailureKind::TooLate},
      {"now", 0ms, false, true, {}, 0ms, {}, FailureKind::TooLate},
      {"an hour ahead", 1h, false, true, {}, 0ms, {}, fires},
      {"past an hour", 1h + 1ms, false, true, {}, 0ms, {}, FailureKind::TooFarAhead},
      {"unsynchronized clock", 2s, false, false, {}, 0ms, {}, FailureKind::ClockUnsynchronized},
      {"local clock allowed", 2s, true, false, {}, 0ms, {}, fires},
      // The shot's query starts 300 ms before its time: the rig must be free by then.
      {"after the running action", 2s, false, true, 1700ms, 0ms, {}, fires},
      {"inside the running action", 2s, false, true, 1701ms, 0ms, {}, FailureKind::Conflict},
      {"after the running and queued", 2s, false, true, 1000ms, 700ms, {}, fires},
      {"inside the queued", 2s, false, true, 1000ms, 701ms, {}, FailureKind::Conflict},
      {"after an armed one", 3s, false, true, {}, 0ms, {2s}, fires},
      {"inside an armed one", 2700ms, false, true, {}, 0ms, {2s}, FailureKind::Conflict},
      // Requests run in the order they came: one armed before holds the rig until its window
      // ends, also for a shot whose time is earlier.
      {"before an armed one", 1s, false, true, {}, 0ms, {5s}, FailureKind::Conflict},
      // Too near for the query, or for the focus lines ahead of it, with nothing in the way: the
      // time no longer fits, whatever else runs.
      {"too near, rig idle", 299ms, false, true, {}, 0ms, {}, FailureKind::TooLate},
      {"too near, rig busy", 299ms, false, true, 5s, 0ms, {}, FailureKind::TooLate},
      {"focus lead fits", 500ms, false, true, {}, 0ms, {}, fires, 200ms},
      {"too near for the focus lead", 499ms, false, true, {}, 0ms, {}, FailureKind::TooLate, 200ms},
      {"focus lead inside the running",
       2s,
       false,
       true,
       1501ms,
       0ms,
       {},
       FailureKind::Conflict,
       200ms},
  };
  for (const Row& row : rows) {
    ArmedWindows windows;
    windows.setClockStatusSource([&row] { return synchronizedClock(row.synchronized); });
    for (const auto at : row.armed) {
      ASSERT_FALSE(windows.arm(armedAt(kNow + at, true), 500ms, kNow)) << row.name;
    }
    if (row.running) {
      windows.queue(*row.running);
      windows.started(*row.running, kNow);
    }
    windows.queue(row.queued);
    const auto failure = windows.arm(armedAt(kNow + row.at, row.localClock), 500ms, kNow, row.lead);
    EXPECT_EQ(failure ? std::optional(failure->kind) : std::nullopt, row.refused) << row.name;
  }
}

TEST(ArmedWindows, ReleasedAndDroppedWorkFreesTheRig) {
  ArmedWindows windows;
  windows.setClockStatusSource([] { return synchronizedClock(true); });
  const service::Request first = armedAt(kNow + 2s);
  ASSERT_FALSE(windows.arm(first, 500ms, kNow));
  ASSERT_TRUE(windows.arm(armedAt(kNow + 2s), 500ms, kNow)) << "the time is taken";
  windows.release(first);
  EXPECT_FALSE(windows.arm(armedAt(kNow + 2s), 500ms, kNow)) << "released, the time is free";

  ArmedWindows queued;
  queued.setClockStatusSource([] { return synchronizedClock(true); });
  queued.queue(5s);
  EXPECT_TRUE(queued.arm(armedAt(kNow + 2s), 500ms, kNow));
  queued.unqueue(5s);
  EXPECT_FALSE(queued.arm(armedAt(kNow + 2s), 500ms, kNow));
}

TEST(ArmedWindows, CancellingTellsWhatEachArmedShotCameTo) {
  ArmedWindows windows;
  windows.setClockStatusSource([] { return synchronizedClock(true); });
  service::Request waiting = armedAt(kNow + 2s);
  waiting.id = QStringLiteral("a");
  service::Request committed = armedAt(kNow + 4s);
  service::Request series = armedAt(kNow + 6s, false, 3);
  for (const auto* request : {&waiting, &committed, &series}) {
    ASSERT_FALSE(windows.arm(*request, 500ms, kNow));
  }
  ASSERT_TRUE(committed.ticket->commit());
  ASSERT_TRUE(series.ticket->commit());

  const QJsonArray ended = windows.cancelAll();
  ASSERT_EQ(ended.size(), 3);
  EXPECT_EQ(ended[0].toObject(),
            (QJsonObject{{QStringLiteral("action"), QStringLiteral("shutter")},
                         {QStringLiteral("outcome"), QStringLiteral("disarmed")},
                         {QStringLiteral("id"), QStringLiteral("a")}}));
  EXPECT_EQ(ended[1][QStringLiteral("outcome")], QStringLiteral("fired"));
  EXPECT_EQ(ended[2][QStringLiteral("outcome")], QStringLiteral("stopping"));
  EXPECT_TRUE(waiting.ticket->disarmed());
  EXPECT_TRUE(series.ticket->cancelled()) << "the series ends after its step";
}

}  // namespace
