#include "BoardRows.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <exception>
#include <memory>
#include <utility>

#include "Landings.h"
#include "ServedRig.h"
#include "Stats.h"
#include "sim/Ch340Module.h"
#include "sim/HidRelayModule.h"
#include "sim/ModbusModule.h"

namespace bench {

namespace {

using Clock = LandingClock;
using namespace std::chrono_literals;

// Time between two requests timed alone, for the line to go quiet: before a reading, the text
// board drops what is still arriving until the line has been quiet 20 ms, and the echo of its
// last switch ends about 5 ms after the switch lands.
constexpr auto kBetween = 100ms;

// A board under measurement: how a rig file names it, the machine it is found on, and what its
// simulated board has received so far.
struct Subject {
  BoardKindFigures kind;
  std::string name;  // "ch340:/dev/pts/7"
  int relays = 0;
  boards::Catalog::Parts parts;
  Landings landings;
};

// The rig file of one board: its flash on relay 0, a camera's shutter on relay 1.
std::string rigFile(const Subject& subject) {
  return "[boards.b]\nboard = \"" + subject.name +
         "\"\nrelays = " + std::to_string(subject.relays) +
         "\n[[cameras]]\nname = \"c\"\nshutter = \"b:1\"\n"
         "[[flashes]]\nname = \"f\"\nline = \"b:0\"\n";
}

service::Request flashRequest() {
  service::Request request;
  request.action = service::Action::Flash;
  request.flash = QStringLiteral("f");
  return request;
}

class BoardBench {
 public:
  BoardBench(const BoardSettings& settings, BoardFigures& figures)
      : settings_(settings), figures_(figures) {}

  void measure(Subject& subject) {
    BoardKindFigures& kind = subject.kind;
    try {
      ServedRig rig(rigFile(subject), subject.parts);
      // Every line off, as the opening's reset leaves them.
      rig.open();
      std::size_t seen = quiet(subject.landings);
      for (int i = 0; i < settings_.requests; ++i) {
        const auto asked = Clock::now();
        if (!answered(subject, rig.ask(flashRequest()))) {
          seen = quiet(subject.landings);
          continue;
        }
        const auto landed = subject.landings(seen + 1);
        if (landed.size() != seen + 1 || landed.back().relay != 0) {
          problem(subject, "a flash request's switch did not land as asked");
          seen = quiet(subject.landings);
          continue;
        }
        kind.flashMs.push_back(ms(landed.back().at - asked));
        seen = landed.size();
        runEventsUntil([] { return false; }, kBetween);
      }
      for (int round = 0; round < settings_.rounds; ++round) {
        seen = quiet(subject.landings);
        const std::vector<service::Result> results =
            rig.askAll(std::vector<service::Request>(kInARow, flashRequest()));
        if (!std::all_of(results.begin(), results.end(),
                         [&](const service::Result& result) { return answered(subject, result); }))
          continue;
        const auto landed = subject.landings(seen + kInARow);
        if (landed.size() != seen + kInARow) {
          problem(subject, "8 flash requests' switches did not all land");
          continue;
        }
        const auto from = landed.begin() + static_cast<std::ptrdiff_t>(seen);
        const auto [first, last] = std::minmax_element(
            from, landed.end(), [](const Landing& a, const Landing& b) { return a.at < b.at; });
        kind.inARowMs.push_back(ms(last->at - first->at));
      }
    } catch (const std::exception& error) {
      problem(subject, error.what());
    }
    figures_.kinds.push_back(std::move(kind));
  }

 private:
  bool answered(const Subject& subject, const service::Result& result) {
    if (!result.ok) problem(subject, "a flash request failed: " + result.message.toStdString());
    return result.ok;
  }
  void problem(const Subject& subject, const std::string& what) {
    figures_.problems.push_back("boards, " + subject.kind.label + ": " + what);
  }

  const BoardSettings& settings_;
  BoardFigures& figures_;
};

}  // namespace

BoardFigures measureBoards(SimProcess& text, SimProcess& wideText, const std::string& wideTextId,
                           const BoardSettings& settings) {
  BoardFigures figures;
  BoardBench bench(settings, figures);

  // The text module: the flash's line read ("relay read 0" and its carriage return, 13 bytes; the
  // answer after it up to the end of its line, "\r\n", "off" and "\r", 6), then switched ("relay
  // on 0", 11 bytes). Its line read "on", the answer is a byte shorter and "relay off 0" a byte
  // longer. The two-relay module by its device, the eight-relay one by its identity.
  const double textWireMs = wireMs("relay read 0") + 6 * kByteMs + wireMs("relay on 0");
  for (SimProcess* sim : {&text, &wideText}) {
    Subject subject;
    const bool wide = sim == &wideText;
    subject.kind.label = wide ? "text module, 8 relays" : "text module, 2 relays";
    subject.kind.wireMs = textWireMs;
    subject.kind.wireWords = R"("relay read 0", its answer and "relay on 0")";
    subject.name = wide ? "text-id:" + wideTextId : "text:" + sim->device();
    subject.relays = wide ? kInARow : 2;
    subject.parts = portsOnly({sim->device()});
    subject.landings = textLandings(*sim);
    bench.measure(subject);
  }

  try {
    // The CH340 board keeps what it last switched for a reading: a flash request is one frame of
    // four bytes.
    sim::Ch340Module ch340(kInARow, true);
    Subject subject;
    subject.kind.label = "CH340, 8 relays";
    subject.kind.wireMs = 4 * kByteMs;
    subject.kind.wireWords = "one frame";
    subject.name = "ch340:" + ch340.devicePath();
    subject.relays = kInARow;
    subject.parts = portsOnly({});
    subject.landings = ch340Landings(ch340);
    bench.measure(subject);
  } catch (const std::exception& error) {
    figures.problems.push_back(std::string("boards, CH340: ") + error.what());
  }

  try {
    // The Modbus board: reading the coils (function 01) is 8 bytes and its answer 6, writing one
    // coil (function 05) 8 bytes, each request after the silence that tells a frame's start. Qt's
    // RTU client keeps 3.5 characters of 11 bits in whole milliseconds, rounded up.
    sim::ModbusModule modbus({kInARow, 1, true, 0});
    Subject subject;
    subject.kind.label = "Modbus RTU, 8 coils";
    subject.kind.wireMs = (8 + 6 + 8) * kByteMs;
    subject.kind.wireWords = "reading the coils, its answer and writing one";
    subject.kind.frameGapMs = std::ceil(3.5 * 11 * 1000.0 / 9600.0);
    subject.kind.frames = 2;
    subject.name = "modbus:" + modbus.devicePath() + "@1";
    subject.relays = kInARow;
    subject.parts = portsOnly({});
    subject.landings = modbusLandings(modbus);
    bench.measure(subject);
  } catch (const std::exception& error) {
    figures.problems.push_back(std::string("boards, Modbus: ") + error.what());
  }

  // The USB HID board, in the process: a report is taken within the rig service's call.
  try {
    Subject subject;
    subject.parts = portsOnly({});
    auto bus = std::make_shared<sim::HidRelayBus>();
    subject.parts.hid = bus;
    sim::HidRelayModule& hid = bus->boards["/dev/hidraw0"];
    hid.product = "USBRelay8";
    hid.id = "BENCH";
    subject.kind.label = "USB HID, 8 relays, in the process";
    subject.name = "hid:BENCH";
    subject.relays = kInARow;
    // The bus lives as long as the catalog's parts, and so the board the landings look at.
    subject.landings = hidLandings(hid);
    bench.measure(subject);
  } catch (const std::exception& error) {
    figures.problems.push_back(std::string("boards, USB HID: ") + error.what());
  }
  return figures;
}

}  // namespace bench
