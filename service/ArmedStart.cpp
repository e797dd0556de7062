#include "ArmedStart.h"

#include "rig/Timings.h"

namespace service {

std::chrono::milliseconds nominalLength(const Request& request,
                                        const std::optional<rig::RigTimings>& described) {
  using namespace std::chrono_literals;
  switch (request.action) {
    case Action::Status:
    case Action::Stop:
    case Action::Disarm:
      return 0ms;
    case Action::Flash:
      return 100ms;
    case Action::Open:
      return 1000ms;
    case Action::Shutter:
    case Action::Sequence: {
      const bool sequence = request.action == Action::Sequence;
      const ShotTimes& times = request.times;
      // The pulses and pauses of every shot, and the queries of the last one at 9600 baud.
      const auto queries = sequence ? 500ms : 100ms;
      rig::Timings base;
      std::chrono::milliseconds focus{0};
      if (described) {
        base.pulse = described->pulse;
        base.pause = described->pause;
        focus = described->focus;
      }
      return std::chrono::duration_cast<std::chrono::milliseconds>(
          (times.shots() - 1) * times.spacing(sequence, base) +
          rig::shotLength(sequence, times.timings(base)) + queries + focus);
    }
  }
  return 0ms;
}

rig::Arming armingOf(const Request& request) {
  return rig::Arming{request.shot->at, [ticket = request.ticket] { return ticket->disarmed(); },
                     [ticket = request.ticket] { return ticket->commit(); }};
}

}  // namespace service
