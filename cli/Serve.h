#pragma once

#include <optional>

#include "Options.h"
#include "bridge/BrokerOptions.h"
#include "rig/RigDescription.h"
#include "web/WebOptions.h"

namespace cli {

// quillmar-cli serve: checks what it was given (the token file, the journal), claims the socket's
// name and binds the web port, then opens the port as the panel does (the rig is reset) and
// serves the panel's local endpoint until SIGINT or SIGTERM, when relay 1 is commanded off.
// Returns the exit status: 0 after a stop, 2 when the port cannot be opened, and with the port
// untouched: 5 when the name is taken, 78 when a check fails, 1 when the endpoint cannot listen
// otherwise.
// With `broker`, the rig is also on that broker from the opening to the stop; with `web`, its
// phone remote listens. `described`: the rig of --rig-file, as read.
int serve(const Options& options, const std::optional<rig::RigDescription>& described,
          const std::optional<bridge::BrokerSettings>& broker,
          const std::optional<web::WebSettings>& web = std::nullopt);

}  // namespace cli
