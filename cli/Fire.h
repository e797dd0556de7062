#pragma once

#include "Console.h"
#include "Options.h"
#include "bridge/BrokerOptions.h"

namespace cli {

// A studio's one command: publishes the armed action (`fire shutter|sequence` with its "at") to
// every rig on the broker, on quillmar/all/command, and returns once the broker has taken it.
// Returns the exit status: 0, or kExitFailure when the broker could not be reached or refused.
int fire(const Options& options, const bridge::BrokerSettings& broker, Console& console);

}  // namespace cli
