#pragma once

#include <chrono>
#include <functional>
#include <optional>

#include "Arming.h"
#include "Clock.h"
#include "Failure.h"

namespace rig {

// The times of a shutter pulse or a two-shot sequence: how long relay 1 is held on, and the
// sequence's pauses between its steps. The panel's buttons use the half second for both.
struct Timings {
  Clock::duration pulse = std::chrono::milliseconds(500);
  Clock::duration pause = std::chrono::milliseconds(500);
  // Asked between a sequence's steps: true ends it there, as soundly as a failure would (relay 1
  // off, the flash back as it was), by throwing CutShort (StopAsked). A pulse in progress is
  // never cut short.
  std::function<bool()> stopRequested;
  // An armed shot: the first pulse's "relay on 1" reaches the module at the given time.
  std::optional<Arming> armed;
};

// The bounds a request's times are held to.
inline constexpr Clock::duration kShortestPulse = std::chrono::milliseconds(50);
inline constexpr Clock::duration kLongestPulse = std::chrono::hours(1);
inline constexpr Clock::duration kShortestPause = std::chrono::milliseconds(50);
inline constexpr Clock::duration kLongestPause = std::chrono::minutes(1);
inline constexpr int kMostShots = 10000;
// A series' interval is at most a day: longer ones are no series one waits for.
inline constexpr Clock::duration kLongestInterval = std::chrono::hours(24);

// How long one shot takes at the least, queries aside: a pulse, or a sequence's two pulses and
// three pauses. A series' interval is never shorter.
inline Clock::duration shotLength(bool sequence, const Timings& timings) {
  return sequence ? 2 * timings.pulse + 3 * timings.pause : timings.pulse;
}

}  // namespace rig
