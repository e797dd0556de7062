#include "Reading.h"

#include "rig/Protocol.h"

namespace cli {

std::string_view relayState(std::string_view reply, int relay) {
  switch (rig::protocol::readState(reply, relay)) {
    case rig::protocol::StateReading::Off:
      return "off";
    case rig::protocol::StateReading::On:
      return "on";
    default:
      return "unknown";
  }
}

}  // namespace cli
