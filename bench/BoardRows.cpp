#include "BoardRows.h"

#include <QString>
#include <QStringList>
#include <algorithm>
#include <chrono>
#include <exception>
#include <functional>
#include <memory>
#include <stdexcept>
#include <thread>

#include "Landings.h"
#include "ServedRig.h"
#include "Stats.h"
#include "boards/Catalog.h"
#include "boards/hid/HidRelayBoard.h"
#include "boards/modbus/ModbusBoard.h"
#include "rig/BoardError.h"
#include "rigfile/RigFile.h"
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
      // Read once, as a rig's opening does: a wide text module then switches many in one command.
      board.readRelays();
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

// The board a rig file names `name`, with `relays`, as the rig's opening finds it: read from the
// file, found through the catalog on `parts`.
std::unique_ptr<rig::Board> fromRigFile(const std::string& name, int relays,
                                        boards::Catalog::Parts parts) {
  const rig::RigDescription rig =
      rigfile::parse("[boards.b]\nboard = \"" + name + "\"\nrelays = " + std::to_string(relays) +
                         "\n[[cameras]]\nname = \"c\"\nshutter = \"b:0\"\n",
                     "bench.toml");
  const rig::RigBoard& board = rig.boards.front();
  boards::Catalog catalog(std::move(parts));
  std::unique_ptr<rig::Board> found = catalog.find(*board.board, board.relays);
  if (!found) throw std::runtime_error("no board " + name);
  return found;
}

}  // namespace

BoardFigures measureBoards(SimProcess& text, SimProcess& wideText, const std::string& wideTextId,
                           const BoardSettings& settings) {
  BoardFigures figures;
  BoardBench bench(settings, figures);

  // The text module: "relay on 0" and its carriage return, 11 bytes. The two-relay module by its
  // device, the eight-relay one by its identity.
  const double textWireMs = wireMs("relay on 0");
  for (SimProcess* sim : {&text, &wideText}) {
    Subject subject;
    subject.label = sim == &text ? "text module, 2 relays" : "text module, 8 relays";
    subject.switchWireMs = textWireMs;
    subject.landings = textLandings(*sim);
    try {
      subject.board = fromRigFile(sim == &text ? "text:" + sim->device() : "text-id:" + wideTextId,
                                  sim == &text ? 2 : kGroup, portsOnly({sim->device()}));
    } catch (const std::exception& error) {
      figures.problems.push_back("boards, " + subject.label + ": " + error.what());
      continue;
    }
    bench.measure(subject);
  }

  try {
    // The CH340 board: four bytes a frame.
    sim::Ch340Module ch340(kGroup, true);
    Subject subject;
    subject.label = "CH340, 8 relays";
    subject.switchWireMs = 4 * kByteMs;
    subject.board = fromRigFile("ch340:" + ch340.devicePath(), kGroup, portsOnly({}));
    subject.landings = ch340Landings(ch340);
    bench.measure(subject);
  } catch (const std::exception& error) {
    figures.problems.push_back(std::string("boards, CH340: ") + error.what());
  }

  try {
    // The Modbus board: writing one coil (function 05) is 8 bytes, after the silence that tells
    // a frame's start (at least 3.5 characters; the client keeps whole milliseconds).
    sim::ModbusModule modbus({kGroup, 1, true, 0});
    Subject subject;
    subject.label = "Modbus RTU, 8 coils";
    subject.switchWireMs = 8 * kByteMs;
    subject.board = fromRigFile("modbus:" + modbus.devicePath() + "@1", kGroup, portsOnly({}));
    auto* board = dynamic_cast<modbus::ModbusBoard*>(subject.board.get());
    if (board) subject.frameGapMs = [board] { return ms(board->silence()); };
    subject.landings = modbusLandings(modbus);
    bench.measure(subject);
  } catch (const std::exception& error) {
    figures.problems.push_back(std::string("boards, Modbus: ") + error.what());
  }

  // The USB HID board, in the process: a report is taken within the call.
  try {
    boards::Catalog::Parts parts = portsOnly({});
    auto bus = std::make_shared<sim::HidRelayBus>();
    parts.hid = bus;
    sim::HidRelayModule& hid = bus->boards["/dev/hidraw0"];
    hid.product = "USBRelay8";
    hid.id = "BENCH";
    Subject subject;
    subject.label = "USB HID, 8 relays, in the process";
    subject.board = fromRigFile("hid:BENCH", kGroup, parts);
    subject.landings = hidLandings(hid);
    bench.measure(subject);
  } catch (const std::exception& error) {
    figures.problems.push_back(std::string("boards, USB HID: ") + error.what());
  }
  return figures;
}

}  // namespace bench
