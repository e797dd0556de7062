#include <gtest/gtest.h>

#include <QEventLoop>
#include <QTimer>
#include <csignal>
#include <thread>
#include <vector>

#include "rig/SystemClock.h"
#include "session/StopWatch.h"

namespace {

// Long enough never to end a loop that a stop ends; it keeps a broken watch from hanging the test.
constexpr int kGuardMs = 20000;

class StopWatchTest : public ::testing::Test {
 protected:
  void SetUp() override {
    rig::SystemClock::clearStop();
    guard.setSingleShot(true);
    QObject::connect(&guard, &QTimer::timeout, &loop, &QEventLoop::quit);
    guard.start(kGuardMs);
  }
  void TearDown() override { rig::SystemClock::clearStop(); }

  QEventLoop loop;
  QTimer guard;
};

// A stop from another thread, as from a signal handler, ends the wait with its signal; the watch
// tells it once, though more requests come, and tells every watch alive, not only the one that
// drained the wake-up.
TEST_F(StopWatchTest, TellsEveryWatchOfAStopOnceWithItsSignal) {
  std::vector<int> told[3];
  const auto tell = [&](int which) {
    return [&, which](int signal) {
      told[which].push_back(signal);
      if (!told[0].empty() && !told[1].empty() && !told[2].empty()) loop.quit();
    };
  };
  const service::StopWatch first(tell(0));
  const service::StopWatch second(tell(1));
  const service::StopWatch third(tell(2));
  std::thread stopper;
  QTimer::singleShot(0, &loop, [&stopper] {
    stopper = std::thread([] {
      rig::SystemClock::requestStop(SIGTERM);
      rig::SystemClock::requestStop(SIGTERM);
    });
  });
  loop.exec();
  stopper.join();
  // The wake-ups still pending run: none tells a watch twice.
  QEventLoop after;
  QTimer::singleShot(0, &after, &QEventLoop::quit);
  after.exec();
  for (const auto& calls : told) EXPECT_EQ(calls, std::vector<int>{SIGTERM});
  EXPECT_TRUE(guard.isActive()) << "the stop was not told to every watch";
}

// exec(): a stop made before the wait began ends it at once; a loop that quits by itself gives 0.
TEST_F(StopWatchTest, ExecEndsOnAStopMadeBeforeItAndGivesNothingWithoutOne) {
  QTimer::singleShot(0, &loop, &QEventLoop::quit);
  EXPECT_EQ(service::StopWatch::exec(loop), 0);

  rig::SystemClock::requestStop(SIGINT);
  EXPECT_EQ(service::StopWatch::exec(loop), SIGINT);
  EXPECT_TRUE(guard.isActive()) << "the earlier stop was not seen";
}

// A watch that was stopped (the session's, once it ends) tells nothing of a later stop.
TEST_F(StopWatchTest, AStoppedWatchTellsNothing) {
  bool told = false;
  service::StopWatch stopped([&told](int) { told = true; });
  stopped.stop();
  rig::SystemClock::requestStop(SIGHUP);
  EXPECT_EQ(service::StopWatch::exec(loop), SIGHUP);
  EXPECT_FALSE(told);
}

}  // namespace
