#include "EventLoopClock.h"

#include <QEventLoop>
#include <QTimer>
#include <chrono>
#include <thread>

EventLoopClock::time_point EventLoopClock::now() const { return std::chrono::steady_clock::now(); }

void EventLoopClock::waitUntil(time_point deadline) {
  if (now() >= deadline) return;

  QEventLoop loop;
  QTimer timer;
  // A coarse timer may fire up to 5 % early; a precise one keeps to the millisecond.
  timer.setTimerType(Qt::PreciseTimer);
  timer.setSingleShot(true);
  QObject::connect(&timer, &QTimer::timeout, &loop, &QEventLoop::quit);

  for (;;) {
    const auto left = deadline - now();
    if (left <= decltype(left)::zero()) return;
    timer.start(std::chrono::ceil<std::chrono::milliseconds>(left));
    loop.exec(QEventLoop::ExcludeUserInputEvents);
    if (timer.isActive()) {
      // The loop ended before its timer: the application is quitting, and every nested loop
      // now returns at once. Sleep out the rest rather than spin through it.
      timer.stop();
      std::this_thread::sleep_until(deadline);
      return;
    }
    // Woken by the timer: go round again in case it fired a fraction of a millisecond early.
  }
}
