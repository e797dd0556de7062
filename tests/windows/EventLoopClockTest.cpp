#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QTimer>
#include <chrono>
#include <ctime>

#include "windows/EventLoopClock.h"

using namespace std::chrono_literals;

TEST(EventLoopClockTest, WaitsUntilTheDeadlineWhileEventsRunWithoutSpinning) {
  EventLoopClock clock;
  bool timerRan = false;
  QTimer::singleShot(20ms, [&] { timerRan = true; });

  const std::clock_t cpuBefore = std::clock();
  const auto start = clock.now();
  clock.waitUntil(start + 150ms);
  const auto waited = clock.now() - start;
  const double cpuSeconds = double(std::clock() - cpuBefore) / CLOCKS_PER_SEC;

  EXPECT_GE(waited, 150ms);
  EXPECT_LT(waited, 400ms);
  EXPECT_TRUE(timerRan) << "events must be handled during a wait";
  EXPECT_LT(cpuSeconds, 0.075) << "a wait must sleep, not spin";
}

TEST(EventLoopClockTest, AShortWaitStillHandlesWhatIsWaiting) {
  // The rig polls for a reply in waits of a few milliseconds, all within the last stretch that is
  // slept out: events already waiting must still be handled in each.
  EventLoopClock clock;
  bool timerRan = false;
  QTimer::singleShot(0ms, [&] { timerRan = true; });
  const auto start = clock.now();
  clock.waitFor(1ms);
  EXPECT_GE(clock.now() - start, 1ms);
  EXPECT_TRUE(timerRan);
}

TEST(EventLoopClockTest, ReturnsAtOnceForAPassedDeadline) {
  EventLoopClock clock;
  bool timerRan = false;
  QTimer::singleShot(0ms, [&] { timerRan = true; });
  const auto start = clock.now();
  clock.waitUntil(start - 1s);
  clock.waitUntil(start);
  EXPECT_LT(clock.now() - start, 5ms);
  EXPECT_FALSE(timerRan) << "a wait that is already over runs no event loop";
  QCoreApplication::processEvents();
}
