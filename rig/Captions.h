#pragma once

#include <string>

#include "State.h"

// The words the operator sees for the rig's state: the windows' captions and the texts of every
// channel's state are made here and nowhere else.
namespace rig::captions {

std::string status(Link link);  // "Port Found and Opened", "Port Lost", ...
// The status box's tooltip: the device, or why the port is not open; then the series running and
// a journal that cannot be written, when there are.
std::string statusTip(const RigState& state);
std::string flash(Flash flash);        // "Flash 1", "Flash 2", "Main Flash"
std::string shutter(Shutter shutter);  // "Camera Shutter", "Shutter Open", "Shutter"
// "shot 3 of 10" while a series runs; empty otherwise.
std::string series(const RigState& state);
std::string openButton(const RigState& state);
// While an armed shot waits: "Armed: shot at 2026-12-07 20:15:00.000 UTC"; empty otherwise.
std::string armed(const RigState& state);

}  // namespace rig::captions
