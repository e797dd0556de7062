#include "Arming.h"

#include <algorithm>

#include "Failure.h"

namespace rig {

namespace {

SerialError disarmed() { return failed(FailureKind::Disarmed, "disarmed before the shot"); }

}  // namespace

Clock::time_point steadyOf(const Clock& clock, Clock::real_time target) {
  return clock.now() + std::chrono::duration_cast<Clock::duration>(target - clock.realNow());
}

void waitUntilReal(Clock& clock, Clock::real_time target, const Arming& armed) {
  for (;;) {
    if (armed.disarmed && armed.disarmed()) throw disarmed();
    const auto now = clock.now();
    const auto until = steadyOf(clock, target);
    if (now >= until) return;
    clock.waitUntilWoken(std::min(until, now + kReaim));
  }
}

void commitShot(const Arming& armed) {
  if (armed.commit && !armed.commit()) throw disarmed();
}

}  // namespace rig
