#include "BoardRows.h"

#include <QString>
#include <QStringList>
#include <algorithm>
#include <chrono>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <thread>

#include "Stats.h"
#include "modbus/ModbusBoard.h"
#include "rig/BoardError.h"
#include "rig/HidRelayBoard.h"
#include "rig/SystemClock.h"
#include "rig/TextBoard.h"
#include "serial/Ch340Board.h"
#include "serial/CommControl.h"
#include "serial/PortMap.h"
#include "sim/Ch340Module.h"
#include "sim/HidRelayModule.h"
#include "sim/ModbusModule.h"

namespace bench {

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr int kGroup = 8;
constexpr rig::RelayMask kGroupMask = (1U << kGroup) - 1;
// Time for the line and the board to go quiet between two measurements.
constexpr auto kBetween = 30ms;
// How long a command may take to land before the run counts it lost.
constexpr auto kLandingLimit = 3s;

double ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

// A relay that a command switched, and when the board had the command.
struct Landing {
  Clock::time_point at;
  int relay = 0;
  bool on = false;
};

// A board under measurement: its driver, and what its simulated board has received so far.
struct Subject {
  std::string label;
  double switchWireMs = 0;
  double frameGapMs = 0;
  std::unique_ptr<rig::Board> board;
  // Every landing so far, after waiting up to a limit for at least `count`.
  std::function<std::vector<Landing>(std::size_t count)> landings;
};

// The text module's relays from its log: "relay on 3", "relay off A", "relay writeall FF".
class TextLandings {
 public:
  explicit TextLandings(SimProcess& sim) : sim_(sim), next_(sim.log().size()) {}

  std::vector<Landing> operator()(std::size_t count) {
    const auto end = Clock::now() + kLandingLimit;
    // The module's reports are taken in only when waited for: what has come first.
    sim_.waitFor(sim_.log().size() + 1, 5ms);
    while (true) {
      const auto& log = sim_.log();
      for (; next_ < log.size(); ++next_) take(log[next_]);
      if (landings_.size() >= count || Clock::now() >= end) break;
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
  void set(Clock::time_point at, int relay, bool on) {
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

// Waits on `ready(count)` until it holds or the limit passes; then converts the log.
template <typename Log, typename Convert>
std::vector<Landing> collect(std::size_t count, const std::function<bool(std::size_t)>& ready,
                             const Log& log, const Convert& convert) {
  ready(count);
  std::vector<Landing> out;
  for (const auto& entry : log()) {
    if (const auto landing = convert(entry)) out.push_back(*landing);
  }
  return out;
}

class BoardBench {
 public:
  BoardBench(const BoardSettings& settings, BoardFigures& figures)
      : settings_(settings), figures_(figures) {}

  void measure(Subject& subject) {
    BoardKindFigures kind;
    kind.label = subject.label;
    kind.switchWireMs = subject.switchWireMs;
    kind.frameGapMs = subject.frameGapMs;
    rig::Board& board = *subject.board;
    try {
      board.open();
      kind.groupsInOneCommand = board.abilities().switchMany;
      const bool wide = board.relayCount() >= kGroup;
      // All off to start from, whatever the board was left at.
      board.switchRelays(rig::allRelays(board.relayCount()), 0);
      std::size_t seen = quiet(subject);
      for (int i = 0; i < settings_.switches; ++i) {
        const bool on = i % 2 == 0;
        const auto asked = Clock::now();
        board.switchRelay(0, on);
        const auto landed = subject.landings(seen + 1);
        if (landed.size() != seen + 1 || landed.back().relay != 0 || landed.back().on != on) {
          problem(subject, "a switch did not land as asked");
          seen = quiet(subject);
          continue;
        }
        kind.switchMs.push_back(ms(landed.back().at - asked));
        seen = landed.size();
        std::this_thread::sleep_for(kBetween);
      }
      board.switchRelay(0, false);
      seen = quiet(subject);
      for (int i = 0; wide && i < settings_.groups; ++i) {
        for (const bool together : {false, true}) {
          if (together) {
            board.switchRelays(kGroupMask, kGroupMask);
          } else {
            for (int relay = 0; relay < kGroup; ++relay) board.switchRelay(relay, true);
          }
          const auto landed = subject.landings(seen + kGroup);
          if (landed.size() < seen + kGroup) {
            problem(subject, "8 relays switched on did not all land");
          } else {
            const auto from = landed.begin() + static_cast<std::ptrdiff_t>(seen);
            const auto [first, last] =
                std::minmax_element(from, from + kGroup,
                                    [](const Landing& a, const Landing& b) { return a.at < b.at; });
            (together ? kind.allAtOnceMs : kind.oneByOneMs).push_back(ms(last->at - first->at));
          }
          board.switchRelays(kGroupMask, 0);
          seen = quiet(subject);
        }
      }
      board.close();
    } catch (const std::exception& error) {
      problem(subject, error.what());
    }
    figures_.kinds.push_back(std::move(kind));
  }

 private:
  // Waits until nothing more lands for a while; the landings so far.
  static std::size_t quiet(Subject& subject) {
    std::size_t count = subject.landings(0).size();
    while (true) {
      std::this_thread::sleep_for(kBetween);
      const std::size_t now = subject.landings(0).size();
      if (now == count) return count;
      count = now;
    }
  }
  void problem(const Subject& subject, const std::string& what) {
    figures_.problems.push_back("boards, " + subject.label + ": " + what);
  }

  const BoardSettings& settings_;
  BoardFigures& figures_;
};

}  // namespace

BoardFigures measureBoards(SimProcess& text, SimProcess& wideText, const BoardSettings& settings) {
  BoardFigures figures;
  BoardBench bench(settings, figures);
  rig::SystemClock clock;

  // The text module: "relay on 0" and its carriage return, 11 bytes.
  const double textWireMs = wireMs("relay on 0");
  for (SimProcess* sim : {&text, &wideText}) {
    serial::CommControl serial(serial::PortMap({QString::fromStdString(sim->device())}));
    Subject subject;
    subject.label = sim == &text ? "text module, 2 relays" : "text module, 8 relays";
    subject.switchWireMs = textWireMs;
    auto board = std::make_unique<rig::TextBoard>(serial, clock);
    rig::TextBoard& textBoard = *board;
    subject.board = std::move(board);
    subject.landings = TextLandings(*sim);
    try {
      // A wide module tells its relays when asked for all of them: then it switches 8 at once.
      textBoard.open();
      textBoard.readRelays();
      textBoard.close();
    } catch (const std::exception& error) {
      figures.problems.push_back("boards, " + subject.label + ": " + error.what());
    }
    bench.measure(subject);
  }

  try {
    // The CH340 board: four bytes a frame.
    sim::Ch340Module ch340(kGroup, true);
    Subject subject;
    subject.label = "CH340, 8 relays";
    subject.switchWireMs = 4 * kByteMs;
    subject.board = std::make_unique<serial::Ch340Board>(ch340.devicePath(), kGroup);
    subject.landings = [&ch340](std::size_t count) {
      return collect(
          count, [&ch340](std::size_t n) { return ch340.waitForFrames(n, kLandingLimit); },
          [&ch340] { return ch340.log(); },
          [](const sim::Frame& frame) -> std::optional<Landing> {
            if (!frame.carriedOut) return std::nullopt;
            // "relay 3 on": the relay from 1.
            const auto space = frame.text.find(' ', 6);
            return Landing{frame.at, std::stoi(frame.text.substr(6, space - 6)) - 1,
                           frame.text.ends_with(" on")};
          });
    };
    bench.measure(subject);
  } catch (const std::exception& error) {
    figures.problems.push_back(std::string("boards, CH340: ") + error.what());
  }

  try {
    // The Modbus board: writing one coil (function 05) is 8 bytes, after the 3.5 characters of
    // silence that tell a frame's start.
    sim::ModbusModule modbus({kGroup, 1, true});
    Subject subject;
    subject.label = "Modbus RTU, 8 coils";
    subject.switchWireMs = 8 * kByteMs;
    subject.frameGapMs = 3.5 * kByteMs;
    modbus::ModbusBoard::Options options;
    options.relays = kGroup;
    subject.board = std::make_unique<modbus::ModbusBoard>(modbus.devicePath(), 1, options);
    subject.landings = [&modbus](std::size_t count) {
      return collect(
          count, [&modbus](std::size_t n) { return modbus.waitForChanges(n, kLandingLimit); },
          [&modbus] { return modbus.log(); },
          [](const sim::CoilChange& change) -> std::optional<Landing> {
            return Landing{change.at, change.coil, change.on};
          });
    };
    bench.measure(subject);
  } catch (const std::exception& error) {
    figures.problems.push_back(std::string("boards, Modbus: ") + error.what());
  }

  // The USB HID board, in the process: a report is taken within the call.
  sim::HidRelayBus bus;
  sim::HidRelayModule& hid = bus.boards["/dev/hidraw0"];
  hid.product = "USBRelay8";
  hid.id = "BENCH";
  Subject subject;
  subject.label = "USB HID, 8 relays, in the process";
  subject.board = std::make_unique<rig::HidRelayBoard>(bus, hid.id);
  subject.landings = [&hid](std::size_t) {
    std::vector<Landing> out;
    for (const auto& change : hid.changes) out.push_back({change.at, change.relay, change.on});
    return out;
  };
  bench.measure(subject);
  return figures;
}

}  // namespace bench
