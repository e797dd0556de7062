#pragma once

#include "Options.h"

namespace cli {

// quillmar-cli serve: opens the port as the panel does (the rig is reset), then serves the
// panel's local endpoint until SIGINT or SIGTERM, when relay 1 is commanded off. Returns the exit
// status: 0 after a stop, 2 when the port cannot be opened, 1 when the endpoint cannot listen.
int serve(const Options& options);

}  // namespace cli
