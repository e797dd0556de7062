#pragma once

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "SimProcess.h"

namespace bench {

// The phone remote's figures: the panel (offscreen, its port open on the simulated module) with
// its web channel on 127.0.0.1, and plain HTTP clients on loopback.
struct WebFigures {
  // A "flash" POST's last byte written to its query's carriage return at the module.
  std::vector<double> firstByteMs;
  // A state change told by the rig service to its event's arrival at a connected event stream.
  std::vector<double> pushMs;
  std::vector<std::string> problems;
};

// `idle` runs the event loop for the time given.
WebFigures measureWeb(SimProcess& sim, int requests,
                      const std::function<void(std::chrono::steady_clock::duration)>& idle);

}  // namespace bench
