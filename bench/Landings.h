#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <vector>

#include "SimProcess.h"

namespace sim {
class Ch340Module;
class ModbusModule;
struct HidRelayModule;
}  // namespace sim

// When each command landed on a simulated board: the relays it switched and the time the board
// had it, the same way for every kind of board, so that rows measure boards side by side.
namespace bench {

using LandingClock = std::chrono::steady_clock;

// How long a command may take to land before a measurement counts it lost.
inline constexpr std::chrono::seconds kLandingLimit{3};

inline double ms(LandingClock::duration d) {
  return std::chrono::duration<double, std::milli>(d).count();
}

// A relay that a command switched, and when the board had the command.
struct Landing {
  LandingClock::time_point at;
  int relay = 0;
  bool on = false;
};

// Every landing on one board since it was made, after waiting up to kLandingLimit for at least
// `count`; fewer when they did not come.
using Landings = std::function<std::vector<Landing>(std::size_t count)>;

// The text module's relays from its log ("relay on 3", "relay writeall FF"), from its log's
// present end on; the module starts all off.
Landings textLandings(SimProcess& sim);
// The frames the CH340 board carried out.
Landings ch340Landings(const sim::Ch340Module& board);
// The coils the Modbus board's writes changed.
Landings modbusLandings(const sim::ModbusModule& board);
// The relays the HID board's reports switched: taken within the call, so nothing is waited for.
Landings hidLandings(const sim::HidRelayModule& board);

// Waits until nothing more lands for a while; the count of landings so far.
std::size_t quiet(const Landings& landings);

}  // namespace bench
