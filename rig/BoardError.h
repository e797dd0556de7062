#pragma once

#include <string>
#include <utility>

#include "Board.h"
#include "SerialControl.h"

namespace rig {

// A board's failure: no port number (boards are named, not numbered), the device it is on, and
// a reason that starts with the board's name, "modbus:/dev/ttyUSB0@3: no answer ...".
inline SerialError boardError(const BoardName& name, std::string device, const std::string& reason,
                              FailureKind kind) {
  return failed(kind, name.text() + ": " + reason, std::move(device));
}

// Relay n (0-based) of a board with `count` relays, or std::out_of_range: a caller's mistake,
// not the board's.
void checkRelayNumber(int relay, int count);
// The same for every relay in `which`.
void checkRelayMask(RelayMask which, int count);
// The relays of a board with `count` relays, as one mask.
constexpr RelayMask allRelays(int count) {
  return count >= 32 ? ~RelayMask{0} : (RelayMask{1} << count) - 1;
}

}  // namespace rig
