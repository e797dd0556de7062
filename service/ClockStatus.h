#pragma once

#include <optional>

namespace service {

// How far the system's real-time clock can be trusted, as the kernel keeps it (adjtimex): whether
// a time service has synchronized it, and its estimated and largest error, in seconds.
struct ClockStatus {
  bool synchronized = false;
  std::optional<double> estimatedError;
  std::optional<double> maxError;
};

// Asks the kernel; on a system that does not tell, the clock counts as unsynchronized.
ClockStatus systemClockStatus();

}  // namespace service
