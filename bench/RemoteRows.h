#pragma once

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "SimProcess.h"

namespace bench {

// The local socket's figures: requests through the panel (offscreen, its port open on the
// simulated module) from clients on plain Unix sockets.
struct RemoteFigures {
  // A "flash" request's write to its query's carriage return at the module.
  std::vector<double> firstByteMs;
  // All clients' sequences from the first write to the last command at the module, against
  // what the line allows for them (none when they did not all run).
  std::vector<double> sequencesRatio;
  std::vector<std::string> problems;
};

struct RemoteSettings {
  int requests = 100;
  int clients = 10;
  int sequencesEach = 10;
};

// `idle` runs the event loop for the time given.
RemoteFigures measureRemote(SimProcess& sim, const RemoteSettings& settings,
                            const std::function<void(std::chrono::steady_clock::duration)>& idle);

}  // namespace bench
