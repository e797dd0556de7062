#pragma once

#include <vector>

#include "rig/Board.h"
#include "rig/Clock.h"
#include "rig/Devices.h"
#include "rig/SerialControl.h"

namespace rig {

// A text module that answered on one of the serial control's listed ports.
struct TextModule {
  int port = 0;          // its port number now
  FoundBoard board;      // "text-id:<identity>", on the port's device; relays 0: not asked yet
  std::string identity;  // its answer to "id get"
  DeviceInfo device;     // the port's device as listed
};

struct TextModules {
  std::vector<TextModule> found;  // each board's `problem` says when its identity cannot name it
  std::vector<PassedOver> passedOver;
};

// Asks each present listed port "id get", as the scan does (the line cleared first, half a second
// for the answer), and returns the modules that answered with an identity, and the ports whose
// answer held none. A port that does not open or stays silent is no module's and not told. Every
// port is left closed; the port number is the last one tried.
TextModules discoverTextModules(SerialControl& serial, Clock& clock);

// The port a text board's name stands for now, among the serial control's listed ports.
//  - "text:<path>": the port whose device is that path, or the device a link there points at
//    (/dev/serial/by-id/...); nothing is asked on the line.
//  - "text-id:<identity>": the one device whose module answers "id get" with that identity (a
//    device listed twice, by a link and by its name, is one).
// Throws SerialError: NoDevice when no port is the board, Ambiguous when two modules claim the
// identity (the reason names both ports), Other for a name of another kind.
struct ResolvedPort {
  int port = 0;
  DeviceInfo device;
};
ResolvedPort resolveTextBoard(const BoardName& name, SerialControl& serial, Clock& clock);

}  // namespace rig
