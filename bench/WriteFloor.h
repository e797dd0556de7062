#pragma once

#include <vector>

namespace bench {

// What writes at one moment cost this machine with no rig at all: `writers` threads at an armed
// rig's priority, each sleeping to 0.2 ms before a common moment, spinning to it, writing a
// command to a terminal of its own and leaving the priority, as a rig's last stretch does.
// Returns each write's moment against the moment, in ms: the floor under the rigs' own record.
std::vector<double> simultaneousWrites(int writers, int shots);

}  // namespace bench
