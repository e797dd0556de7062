#pragma once

#include <optional>

#include "Clock.h"
#include "Devices.h"

namespace rig {

// Decides when a lost module is reopened. It is told of the loss, then asked what to do each
// time the system's devices change (and at the time it asked to be woken); it answers with at
// most one port to try, and is told how the attempt went before it proposes another.
//
// Once the module is back it is tried for a while (a new device may still be getting its
// permissions, or be probed by another program), then left alone until it goes and comes again.
// A module that is lost again soon after each reopening (a bad cable) is held off for longer
// each time, so the panel neither spins nor stacks reopenings.
class Reconnector {
 public:
  using time_point = Clock::time_point;

  struct Plan {
    std::optional<int> attempt;        // open this port now
    std::optional<time_point> wakeAt;  // ask again at this time, even without a change notice
  };

  // The open module went away at `now`: watch for it.
  void lose(const DeviceInfo& module, time_point now);
  // The operator chose a port, or the panel is closing: the watch ends.
  void stop();
  bool watching() const { return watching_; }
  const DeviceInfo& module() const { return module_; }

  // What to do now, with the ports as they are.
  Plan next(const PortList& ports, time_point now);
  // How the attempt that next() proposed went.
  void failed(time_point now);
  void succeeded(time_point now);

 private:
  DeviceInfo module_;
  bool watching_ = false;
  bool attempting_ = false;
  // When the module was seen back; empty while it is away.
  std::optional<time_point> seenAt_;
  bool gaveUp_ = false;  // tried for the whole window since it was seen back
  time_point nextTry_{};
  Clock::duration retryDelay_{};
  // Flapping: no attempt before this time, and how long the last hold was.
  time_point holdUntil_{};
  Clock::duration hold_{};
  std::optional<time_point> reopenedAt_;
};

}  // namespace rig
