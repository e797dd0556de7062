#pragma once

#include <chrono>
#include <optional>

#include "Requests.h"
#include "rig/Arming.h"
#include "rig/RigDescription.h"

namespace service {

// How long an action keeps the rig, roughly, from its first command: what an armed shot after
// it must leave free. The pauses, and the queries at 9600 baud; a described rig's own timings
// and its focus lead.
std::chrono::milliseconds nominalLength(const Request& request,
                                        const std::optional<rig::RigTimings>& described);

// The arming of an armed request's first shot as it starts: its time, and its ticket's disarm
// and commit.
rig::Arming armingOf(const Request& request);

}  // namespace service
