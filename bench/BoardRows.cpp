#include "BoardRows.h"

#include <QString>
#include <QStringList>
#include <algorithm>
#include <chrono>
#include <exception>
#include <functional>
#include <memory>
#include <thread>

#include "Landings.h"
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

using Clock = LandingClock;
using namespace std::chrono_literals;

constexpr int kGroup = 8;
constexpr rig::RelayMask kGroupMask = (1U << kGroup) - 1;
// Time for the line and the board to go quiet between two switches.
constexpr auto kBetween = 30ms;

// A board under measurement: its driver, and what its simulated board has received so far.
struct Subject {
  std::string label;
  double switchWireMs = 0;
  // The silence the board's line keeps before a command, asked once the board is open.
  std::function<double()> frameGapMs;
  std::unique_ptr<rig::Board> board;
  Landings landings;
};

class BoardBench {
 public:
  BoardBench(const BoardSettings& settings, BoardFigures& figures)
      : settings_(settings), figures_(figures) {}

  void measure(Subject& subject) {
    BoardKindFigures kind;
    kind.label = subject.label;
    kind.switchWireMs = subject.switchWireMs;
    rig::Board& board = *subject.board;
    try {
      board.open();
      if (subject.frameGapMs) kind.frameGapMs = subject.frameGapMs();
      kind.groupsInOneCommand = board.abilities().switchMany;
      const bool wide = board.relayCount() >= kGroup;
      // All off to start from, whatever the board was left at.
      board.switchRelays(rig::allRelays(board.relayCount()), 0);
      std::size_t seen = quiet(subject.landings);
      for (int i = 0; i < settings_.switches; ++i) {
        const bool on = i % 2 == 0;
        const auto asked = Clock::now();
        board.switchRelay(0, on);
        const auto landed = subject.landings(seen + 1);
        if (landed.size() != seen + 1 || landed.back().relay != 0 || landed.back().on != on) {
          problem(subject, "a switch did not land as asked");
          seen = quiet(subject.landings);
          continue;
        }
        kind.switchMs.push_back(ms(landed.back().at - asked));
        seen = landed.size();
        std::this_thread::sleep_for(kBetween);
      }
      board.switchRelay(0, false);
      seen = quiet(subject.landings);
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
          seen = quiet(subject.landings);
        }
      }
      board.close();
    } catch (const std::exception& error) {
      problem(subject, error.what());
    }
    figures_.kinds.push_back(std::move(kind));
  }

 private:
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
    subject.landings = textLandings(*sim);
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
    subject.landings = ch340Landings(ch340);
    bench.measure(subject);
  } catch (const std::exception& error) {
    figures.problems.push_back(std::string("boards, CH340: ") + error.what());
  }

  try {
    // The Modbus board: writing one coil (function 05) is 8 bytes, after the silence that tells
    // a frame's start (at least 3.5 characters; the client keeps whole milliseconds).
    sim::ModbusModule modbus({kGroup, 1, true});
    Subject subject;
    subject.label = "Modbus RTU, 8 coils";
    subject.switchWireMs = 8 * kByteMs;
    modbus::ModbusBoard::Options options;
    options.relays = kGroup;
    auto board = std::make_unique<modbus::ModbusBoard>(modbus.devicePath(), 1, options);
    subject.frameGapMs = [&board = *board] { return ms(board.silence()); };
    subject.board = std::move(board);
    subject.landings = modbusLandings(modbus);
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
  subject.landings = hidLandings(hid);
  bench.measure(subject);
  return figures;
}

}  // namespace bench
