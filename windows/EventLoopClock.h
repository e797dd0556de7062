#pragma once

#include "rig/Clock.h"

// The panel's clock: steady time, and waits that keep the windows painting.
//
// A wait runs a nested event loop that excludes user input, so paint, timer and other
// non-input events are handled while the rig pauses, and clicks, keys and close requests from
// the window system stay queued until the running action has returned. The loop sleeps in the
// event dispatcher, and the last two milliseconds of a wait are slept out to the microsecond (a
// pause of the rig is the length of a shutter pulse); nothing spins.
class EventLoopClock : public rig::Clock {
 public:
  time_point now() const override;
  void waitUntil(time_point deadline) override;
};
