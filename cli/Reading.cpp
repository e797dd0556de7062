#include "Reading.h"

#include <algorithm>

#include "rig/Protocol.h"

namespace cli {

std::string_view relayState(std::string_view reply) {
  if (rig::protocol::readsOff(reply)) return "off";

  const auto lineBreak = reply.find_first_of("\r\n");
  if (lineBreak == std::string_view::npos) return "unknown";
  std::string_view rest = reply.substr(lineBreak);
  rest.remove_prefix(std::min(rest.find_first_not_of("\r\n"), rest.size()));
  const std::string_view word = rest.substr(0, rest.find_first_of("\r\n \t>"));
  return word == "on" ? "on" : "unknown";
}

}  // namespace cli
