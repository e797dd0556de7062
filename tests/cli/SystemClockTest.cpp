#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <ctime>
#include <thread>

#include "rig/SystemClock.h"

using namespace std::chrono_literals;

namespace {

class SystemClockTest : public ::testing::Test {
 protected:
  void TearDown() override { rig::SystemClock::clearStop(); }
  rig::SystemClock clock;
};

TEST_F(SystemClockTest, WaitsItsTimeOutWithoutSpinning) {
  const auto start = clock.now();
  const std::clock_t cpuStart = std::clock();
  clock.waitFor(200ms);
  const auto cpu = static_cast<double>(std::clock() - cpuStart) / CLOCKS_PER_SEC;
  EXPECT_GE(clock.now() - start, 200ms);
  EXPECT_LT(clock.now() - start, 400ms);
  EXPECT_LT(cpu, 0.05) << "the wait burnt the processor";
}

TEST_F(SystemClockTest, StopRequestEndsARunningWaitPromptly) {
  std::thread stopper([] {
    std::this_thread::sleep_for(50ms);
    rig::SystemClock::requestStop(SIGINT);
  });
  const auto start = clock.now();
  try {
    clock.waitFor(10s);
    ADD_FAILURE() << "the wait ran out instead of stopping";
  } catch (const rig::CutShort& stop) {
    EXPECT_EQ(stop.why, rig::CutShort::Why::Signal);
    EXPECT_EQ(stop.signal, SIGINT);
  }
  stopper.join();
  EXPECT_LT(clock.now() - start, 150ms);
}

TEST_F(SystemClockTest, PendingStopEndsEvenAWaitWithNothingLeftToWait) {
  // The rig's reply loops wait a few milliseconds at a time; each of those waits must see it.
  rig::SystemClock::requestStop(0);
  EXPECT_THROW(clock.waitUntil(clock.now() - 1s), rig::CutShort);
  EXPECT_THROW(clock.waitFor(0ms), rig::CutShort);
  rig::SystemClock::clearStop();
  EXPECT_NO_THROW(clock.waitFor(1ms));
}

TEST_F(SystemClockTest, SignalsRequestAStopInsteadOfEndingTheProcess) {
  rig::SystemClock::stopOnSignals();
  std::raise(SIGTERM);
  EXPECT_EQ(rig::SystemClock::stopRequested(), SIGTERM);
  std::signal(SIGINT, SIG_DFL);
  std::signal(SIGTERM, SIG_DFL);
}

}  // namespace
