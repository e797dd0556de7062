#pragma once

#include "rig/Clock.h"

// The panel's clock: steady time, and waits that keep the windows painting.
//
// A wait runs a nested event loop that excludes user input, so paint, timer and other
// non-input events are handled while the rig pauses, and clicks, keys and close requests from
// the window system stay queued until the running action has returned. The loop sleeps in the
// event dispatcher; nothing spins.
class EventLoopClock : public rig::Clock {
 public:
  time_point now() const override;
  void waitUntil(time_point deadline) override;
};
