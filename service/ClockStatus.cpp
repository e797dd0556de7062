#include "ClockStatus.h"

#ifdef __linux__
#include <sys/timex.h>
#endif

namespace service {

ClockStatus systemClockStatus() {
  ClockStatus status;
#ifdef __linux__
  timex reading{};
  const int state = adjtimex(&reading);
  if (state == -1) return status;
  // TIME_ERROR, or the unsynchronized flag: no time service keeps the clock.
  status.synchronized = state != TIME_ERROR && (reading.status & STA_UNSYNC) == 0;
  constexpr double kMicrosecond = 1e-6;
  status.estimatedError = static_cast<double>(reading.esterror) * kMicrosecond;
  status.maxError = static_cast<double>(reading.maxerror) * kMicrosecond;
#endif
  return status;
}

}  // namespace service
