#pragma once

#include <algorithm>
#include <chrono>

namespace rig {

// The rig's only source of time. Waits go through it, so each program waits its own way (the rig
// service sleeps its own thread, the windows never wait) and the tests can wait without waiting.
class Clock {
 public:
  using duration = std::chrono::steady_clock::duration;
  using time_point = std::chrono::steady_clock::time_point;
  // A time on the system's real-time clock: what an armed shot is aimed at.
  using real_time = std::chrono::system_clock::time_point;

  Clock() = default;
  Clock(const Clock&) = delete;
  Clock& operator=(const Clock&) = delete;
  virtual ~Clock() = default;

  // Monotonic: never jumps, never goes back (midnight, clock changes).
  virtual time_point now() const = 0;

  // Returns no sooner than `deadline`. Must not spin the CPU.
  virtual void waitUntil(time_point deadline) = 0;

  void waitFor(duration d) { waitUntil(now() + d); }

  // Like waitUntil, but may return early: once the program wakes it (a disarm or a stop that the
  // wait is for), or, where the clock has no way to be woken, after a short while. Callers look
  // again for what they wait on and wait once more.
  virtual void waitUntilWoken(time_point deadline) {
    waitUntil(std::min(deadline, now() + std::chrono::milliseconds(10)));
  }

  // A wait whose end is no command's moment (a look at the boards during a bulb): like
  // waitUntilWoken, but it readies nothing for a command at its end.
  virtual void nap(time_point until) { waitUntilWoken(until); }
  // The real-time clock now, read together with now() to aim a monotonic wait at a real time.
  virtual real_time realNow() const { return std::chrono::system_clock::now(); }

  // Returns as close after `deadline` as it can: the last stretch of an armed shot's wait, where
  // a sleep's wake-up delay would be the shot's error. May raise the thread's priority and spin
  // the CPU for a moment before the deadline.
  virtual void spinUntil(time_point deadline) { waitUntil(deadline); }
  // Called once the command spinUntil timed is on its way: what it raised goes back at once, so
  // that other rigs sharing the machine's cores send theirs without waiting for this one's work.
  virtual void spinDone() {}
  // Called when the thread has no more timed work for now: what the last waits held for their
  // ends (a priority, the processors kept awake) is given back.
  virtual void rest() {}
};

}  // namespace rig
