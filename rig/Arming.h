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

// An armed shot's query starts this long before the shot: time for the drain, the query and its
// answer at 9600 baud (about 60 ms on a clean line), so the reading is fresh at the shot.
inline constexpr Clock::duration kArmingLead = std::chrono::milliseconds(300);

// How long `bytes` take on the line at 9600 baud, ten bits a byte (start, eight, stop).
constexpr Clock::duration wireTime(std::size_t bytes) {
  return std::chrono::duration_cast<Clock::duration>(std::chrono::nanoseconds(
      static_cast<std::chrono::nanoseconds::rep>(bytes) * 10 * 1'000'000'000 / 9600));
}

}  // namespace rig
