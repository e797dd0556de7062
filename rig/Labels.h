#pragma once

#include <array>
#include <string_view>

// The rig's actions as every channel names them, in one table: the word a request sends and the
// caption of the panel's button that starts it, which also names the action in messages ("Main
// Flash failed: ..."). The local socket, the broker's discovery, the phone page and the main
// window read their labels here.
namespace rig::labels {

struct ActionLabel {
  std::string_view action;  // on the wire: "flash"
  std::string_view button;  // on the window and in messages: "Main Flash"
};

inline constexpr std::array<ActionLabel, 7> kActions{{
    {"status", "Status"},
    {"open", "Open Com Port"},
    {"flash", "Main Flash"},
    {"shutter", "Camera Shutter"},
    {"sequence", "Start"},
    {"stop", "Stop"},
    {"disarm", "Disarm"},
}};

// The button's caption of the action sent as `action`; empty for a word that is no action.
constexpr std::string_view button(std::string_view action) {
  for (const ActionLabel& label : kActions) {
    if (label.action == action) return label.button;
  }
  return {};
}

}  // namespace rig::labels
