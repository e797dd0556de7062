#include "Landings.h"

#include <memory>
#include <optional>
#include <string>
#include <thread>

#include "rig/Board.h"
#include "sim/Ch340Module.h"
#include "sim/HidRelayModule.h"
#include "sim/ModbusModule.h"

namespace bench {

namespace {

using namespace std::chrono_literals;

// Time for the line and the board to go quiet between two measurements.
constexpr auto kBetween = 30ms;

// The text module's relays from its log: "relay on 3", "relay off A", "relay writeall FF".
class TextLog {
 public:
  explicit TextLog(SimProcess& sim) : sim_(sim), next_(sim.log().size()) {}

  std::vector<Landing> landings(std::size_t count) {
    const auto end = LandingClock::now() + kLandingLimit;
    // The module's reports are taken in only when waited for: what has come first.
    sim_.waitFor(sim_.log().size() + 1, 5ms);
    while (true) {
      const auto& log = sim_.log();
      for (; next_ < log.size(); ++next_) take(log[next_]);
      if (landings_.size() >= count || LandingClock::now() >= end) break;
      sim_.waitFor(log.size() + 1, 50ms);
    }
    return landings_;
  }

 private:
  static int relayNumber(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'V') return c - 'A' + 10;
    return -1;
  }
  void set(LandingClock::time_point at, int relay, bool on) {
    const rig::RelayMask bit = 1U << relay;
    if (((state_ & bit) != 0) == on) return;
    state_ = on ? (state_ | bit) : (state_ & ~bit);
    landings_.push_back({at, relay, on});
  }
  void take(const SimProcess::Entry& entry) {
    const std::string& text = entry.text;
    if (text.starts_with("relay writeall ")) {
      const rig::RelayMask mask = std::stoul(text.substr(15), nullptr, 16);
      for (int relay = 0; relay < 32; ++relay) set(entry.at, relay, ((mask >> relay) & 1U) != 0);
    } else if ((text.starts_with("relay on ") || text.starts_with("relay off ")) &&
               text.size() >= 10) {
      const int relay = relayNumber(text.back());
      if (relay >= 0) set(entry.at, relay, text[6] == 'o' && text[7] == 'n');
    }
  }

  SimProcess& sim_;
  std::size_t next_;
  rig::RelayMask state_ = 0;  // the module starts all off
  std::vector<Landing> landings_;
};

}  // namespace

Landings textLandings(SimProcess& sim) {
  auto log = std::make_shared<TextLog>(sim);
  return [log](std::size_t count) { return log->landings(count); };
}

Landings ch340Landings(const sim::Ch340Module& board) {
  return [&board](std::size_t count) {
    board.waitForFrames(count, kLandingLimit);
    std::vector<Landing> out;
    for (const sim::Frame& frame : board.log()) {
      if (!frame.carriedOut) continue;
      // "relay 3 on": the relay from 1.
      const auto space = frame.text.find(' ', 6);
      out.push_back(
          {frame.at, std::stoi(frame.text.substr(6, space - 6)) - 1, frame.text.ends_with(" on")});
    }
    return out;
  };
}

Landings modbusLandings(const sim::ModbusModule& board) {
  return [&board](std::size_t count) {
    board.waitForChanges(count, kLandingLimit);
    std::vector<Landing> out;
    for (const sim::CoilChange& change : board.log()) {
      out.push_back({change.at, change.coil, change.on});
    }
    return out;
  };
}

Landings hidLandings(const sim::HidRelayModule& board) {
  return [&board](std::size_t) {
    std::vector<Landing> out;
    for (const auto& change : board.changes) out.push_back({change.at, change.relay, change.on});
    return out;
  };
}

std::size_t quiet(const Landings& landings) {
  std::size_t count = landings(0).size();
  while (true) {
    std::this_thread::sleep_for(kBetween);
    const std::size_t now = landings(0).size();
    if (now == count) return count;
    count = now;
  }
}

}  // namespace bench
