#pragma once

#include <QString>
#include <optional>

#include "Options.h"
#include "rig/RigDescription.h"

namespace cli {

// quillmar-cli --direct (and any action when no panel runs): the command on a port of this
// program's own, through the same rig service the panel and serve run, with every command and
// change printed as it happens. `ports` is the --ports list, if given; `described`, the rig of
// --rig-file as read. Returns the exit status.
int runDirect(const Options& options, const std::optional<rig::RigDescription>& described,
              const std::optional<QString>& ports);

}  // namespace cli
