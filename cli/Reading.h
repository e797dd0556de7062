#pragma once

#include <string_view>

namespace cli {

// What a reply to "relay read N" says, as the rig reads it: "on" or "off" for a reply laid out as
// the query's echo, a line break and the state word, "unknown" for anything else.
std::string_view relayState(std::string_view reply, int relay);

}  // namespace cli
