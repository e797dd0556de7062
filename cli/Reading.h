#pragma once

#include <string_view>

namespace cli {

// What a reply to "relay read N" says: "off" exactly when the rig's own test for off holds
// (the one every action switches by), "on" when the state word, the first word after the echoed
// query's line break, is "on", and "unknown" for anything else.
std::string_view relayState(std::string_view reply);

}  // namespace cli
