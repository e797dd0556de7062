#pragma once

#include <chrono>
#include <cstddef>
#include <functional>

#include "Clock.h"

namespace rig {

// An armed shot: the action asks the module ahead of `at` and starts writing "relay on 1" so
// that its carriage return reaches the module at `at`, on the system's real-time clock. Rigs
// with synchronized clocks so fire together, whenever their message came.
struct Arming {
  Clock::real_time at;
  // Asked while the shot waits; true ends the wait (the shot is disarmed) before anything fires.
  std::function<bool()> disarmed;
  // Asked once, at the last moment a disarm can still stop the shot: false when a disarm came
  // first; true commits the shot, so a later disarm is told that it came too late.
  std::function<bool()> commit;
};

// A shot with less than this left before its first switch when its action starts cannot be armed
// in time.
inline constexpr Clock::duration kArmingLeast = std::chrono::milliseconds(100);
// An armed wait sleeps until a disarm wakes it, but aims at the real time afresh at least this
// often: the real-time clock may be slewed or set meanwhile.
inline constexpr Clock::duration kReaim = std::chrono::seconds(1);
// The last stretch before the shot is left to the clock's most exact wait (a real-time priority,
// the end spun): an ordinary wake-up comes late by milliseconds on a loaded machine. A disarm
// in this stretch comes too late to stop the shot.
inline constexpr Clock::duration kFinalStretch = std::chrono::milliseconds(20);

// The steady time at which the real time `target` falls, as the two clocks read now.
Clock::time_point steadyOf(const Clock& clock, Clock::real_time target);
// The armed wait of every rig: sleeps until the real time `target`, aimed afresh at every wake-up;
// throws SerialError (Disarmed, "disarmed before the shot") once `armed` is disarmed.
void waitUntilReal(Clock& clock, Clock::real_time target, const Arming& armed);
// The cut-off, at the start of the last stretch: from here on a disarm comes too late. Throws
// SerialError (Disarmed) when one came first.
void commitShot(const Arming& armed);

// An armed shot's query starts this long before the shot: time for the drain, the query and its
// answer at 9600 baud (about 60 ms on a clean line), so the reading is fresh at the shot.
inline constexpr Clock::duration kArmingLead = std::chrono::milliseconds(300);

// How long `bytes` take on the line at 9600 baud, ten bits a byte (start, eight, stop).
constexpr Clock::duration wireTime(std::size_t bytes) {
  return std::chrono::duration_cast<Clock::duration>(std::chrono::nanoseconds(
      static_cast<std::chrono::nanoseconds::rep>(bytes) * 10 * 1'000'000'000 / 9600));
}

}  // namespace rig
