#include "EventLoopClock.h"

#include <QEventLoop>
#include <QTimer>
#include <chrono>
#include <thread>

EventLoopClock::time_point EventLoopClock::now() const { return std::chrono::steady_clock::now(); }

namespace {

// Timers keep to whole milliseconds and the event dispatcher rounds its sleep up to the next one,
// so a timer set for the deadline wakes up to about 2 ms late. The event loop is left this long
// before the deadline instead, and the rest is slept out to the microsecond.
constexpr auto kFinalStretch = std::chrono::milliseconds(2);

}  // namespace

void EventLoopClock::waitUntil(time_point deadline) {
  if (now() >= deadline) return;

  QEventLoop loop;
  QTimer timer;
  // A coarse timer may fire up to 5 % early; a precise one keeps to the millisecond.
  timer.setTimerType(Qt::PreciseTimer);
  timer.setSingleShot(true);
  QObject::connect(&timer, &QTimer::timeout, &loop, &QEventLoop::quit);

  // Runs the nested loop, holding user input, until the timer fires after `interval`. False when
  // the loop ended early: the application is quitting and every nested loop returns at once.
  auto runLoopFor = [&](std::chrono::milliseconds interval) {
    timer.start(interval);
    loop.exec(QEventLoop::ExcludeUserInputEvents);
    if (!timer.isActive()) return true;
    timer.stop();
    return false;
  };

  for (;;) {
    const auto left = deadline - now();
    if (left <= decltype(left)::zero()) return;
    if (left <= kFinalStretch) {
      // The last stretch: what is waiting now is handled (short waits, such as the rig's polls
      // for a reply, are all last stretch), then the thread sleeps to the deadline. The events
      // go through the nested loop, not processEvents(), which would let held input be lost.
      runLoopFor(std::chrono::milliseconds(0));
      std::this_thread::sleep_until(deadline);
      return;
    }
    if (!runLoopFor(std::chrono::ceil<std::chrono::milliseconds>(left - kFinalStretch))) {
      std::this_thread::sleep_until(deadline);  // quitting: sleep out the rest, never spin
      return;
    }
  }
}
