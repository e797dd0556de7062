#include "CameraRows.h"

#include <QFile>
#include <QTemporaryDir>
#include <algorithm>
#include <cstdio>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <utility>

#include "Landings.h"
#include "ServedRig.h"
#include "sim/Ch340Module.h"
#include "sim/HidRelayModule.h"
#include "sim/ModbusModule.h"
#include "sim/RelayModule.h"

namespace bench {

namespace {

using namespace std::chrono_literals;

constexpr int kCameras = 8;  // per board, in the rigs of shutters only
constexpr rig::RelayMask kShutters = (1U << kCameras) - 1;
// What one shot of a board's 8 cameras lands: each shutter on and off.
constexpr std::size_t kShotLandings = 2 * static_cast<std::size_t>(kCameras);
// The rig of focus lines and delays: 4 cameras, shutters on relays 0 to 3, focus lines on 4 to 7.
constexpr int kFocusCameras = 4;
constexpr rig::RelayMask kFocusShutters = (1U << kFocusCameras) - 1;
constexpr rig::RelayMask kFocusLines = kFocusShutters << kFocusCameras;
// An armed shot's time is this far ahead when it is asked: room for the arming and the leads.
constexpr auto kArmedAhead = 800ms;
// A board put back sooner than this after its reopening would count as flapping and be held off:
// each cycle waits it out, so every return is measured as a first one.
constexpr auto kSettled = 5200ms;

// A kind of board as a rig file names it, and the simulated boards that stand for the machine's.
struct Family {
  std::string label;  // "CH340, 8 relays"
  bool oneCommand = false;
  std::vector<std::string> names;  // each board's name in the file: "ch340:/dev/pts/7"
  boards::Catalog::Parts parts;
  std::vector<Landings> landings;  // each board's
};

// A rig file of `cameras` cameras on each of `boards`: camera n's shutter on relay n; with
// `focus`, its focus line on relay cameras + n and the focus lead; with `delays`, its delay n
// steps.
std::string rigFile(const std::vector<std::string>& boards, int relays, int cameras, bool focus,
                    bool delays) {
  std::string file = "[timings]\npulse = \"50ms\"\n";
  if (focus) file += "focus = \"" + std::to_string(kCameraFocusLead.count()) + "ms\"\n";
  for (std::size_t b = 0; b < boards.size(); ++b) {
    file += "[boards.b" + std::to_string(b) + "]\nboard = \"" + boards[b] +
            "\"\nrelays = " + std::to_string(relays) + "\n";
  }
  for (std::size_t b = 0; b < boards.size(); ++b) {
    const std::string board = "b" + std::to_string(b) + ":";
    for (int n = 0; n < cameras; ++n) {
      file += "[[cameras]]\nname = \"c" + std::to_string(b) + "-" + std::to_string(n) +
              "\"\nshutter = \"" + board + std::to_string(n) + "\"\n";
      if (focus) file += "focus = \"" + board + std::to_string(cameras + n) + "\"\n";
      if (delays && n > 0) {
        file += "delay = \"" + std::to_string((kCameraDelayStep * n).count()) + "ms\"\n";
      }
    }
  }
  return file;
}

// The relays in `which` switched on from landing `from` on.
std::vector<Landing> switchedOn(const std::vector<Landing>& landed, std::size_t from,
                                rig::RelayMask which) {
  std::vector<Landing> out;
  for (std::size_t i = from; i < landed.size(); ++i) {
    if (landed[i].on && ((which >> landed[i].relay) & 1U) != 0) out.push_back(landed[i]);
  }
  return out;
}

// The first landing's time to the last's.
double spreadMs(const std::vector<Landing>& landings) {
  const auto [first, last] =
      std::minmax_element(landings.begin(), landings.end(),
                          [](const Landing& a, const Landing& b) { return a.at < b.at; });
  return ms(last->at - first->at);
}

// An armed shot's time ahead, on the real-time clock and, read together, on the steady clock
// the landings are stamped with.
struct ArmedTime {
  std::chrono::system_clock::time_point at;
  LandingClock::time_point steadyAt;
};
ArmedTime armedAhead() {
  const auto now = std::chrono::system_clock::now();
  return {now + kArmedAhead, LandingClock::now() + kArmedAhead};
}

class CameraBench {
 public:
  CameraBench(const CameraSettings& settings, CameraFigures& figures)
      : settings_(settings), figures_(figures) {}

  // 8 cameras on one board: shots, then armed shots at one moment.
  void oneBoard(Family& family) {
    OneBoardCameras shots{family.label, family.oneCommand, {}};
    CameraSamples armed{family.label, {}, family.oneCommand};
    attempt(family.label, [&] {
      ServedRig rig(rigFile(family.names, kCameras, kCameras, false, false), family.parts);
      rig.open();
      const Landings& landings = family.landings.front();
      for (int round = 0; round < settings_.rounds; ++round) {
        const std::size_t seen = quiet(landings);
        // The shot switches the shutters on and, after the pulse, off.
        if (!fired(family.label, rig.shoot())) continue;
        const auto shot = switchedOn(landings(seen + kShotLandings), seen, kShutters);
        if (shot.size() != kCameras) {
          problem(family.label, "8 shutters switched on did not all land");
          continue;
        }
        shots.shotMs.push_back(spreadMs(shot));
      }
      for (int shot = 0; shot < settings_.armedShots; ++shot) {
        const std::size_t seen = quiet(landings);
        const ArmedTime time = armedAhead();
        if (!fired(family.label, rig.shoot(time.at))) continue;
        const auto landed = switchedOn(landings(seen + kShotLandings), seen, kShutters);
        if (landed.size() != kCameras) {
          problem(family.label, "an armed shot's shutters did not all land");
          continue;
        }
        for (const Landing& landing : landed) armed.ms.push_back(ms(landing.at - time.steadyAt));
      }
    });
    figures_.oneBoard.push_back(std::move(shots));
    figures_.armedTogetherError.push_back(std::move(armed));
  }

  // 16 cameras on the family's two boards, one shot: the first shutter's landing to the last.
  void twoBoards(Family& family) {
    CameraSamples samples{family.label, {}};
    attempt(family.label, [&] {
      ServedRig rig(rigFile(family.names, kCameras, kCameras, false, false), family.parts);
      rig.open();
      for (int round = 0; round < settings_.rounds; ++round) {
        std::vector<std::size_t> seen;
        for (const Landings& landings : family.landings) seen.push_back(quiet(landings));
        if (!fired(family.label, rig.shoot())) continue;
        std::vector<Landing> landed;
        for (std::size_t b = 0; b < seen.size(); ++b) {
          const auto on =
              switchedOn(family.landings[b](seen[b] + kShotLandings), seen[b], kShutters);
          landed.insert(landed.end(), on.begin(), on.end());
        }
        if (landed.size() != kShotLandings) {
          problem(family.label, "16 shutters switched on did not all land");
          continue;
        }
        samples.ms.push_back(spreadMs(landed));
      }
    });
    figures_.twoBoards.push_back(std::move(samples));
  }

  // Armed shots of 4 cameras with the focus lead and delays of their own: each focus line and
  // each shutter at the board against the moment the file puts it at.
  void focusAndDelays(Family& family) {
    CameraSamples focus{family.label, {}, family.oneCommand};
    CameraSamples delays{family.label, {}};
    attempt(family.label, [&] {
      ServedRig rig(rigFile(family.names, kCameras, kFocusCameras, true, true), family.parts);
      rig.open();
      const Landings& landings = family.landings.front();
      // Each camera's focus line and shutter, on and off.
      const std::size_t count = 4 * static_cast<std::size_t>(kFocusCameras);
      for (int shot = 0; shot < settings_.armedShots; ++shot) {
        const std::size_t seen = quiet(landings);
        const ArmedTime time = armedAhead();
        if (!fired(family.label, rig.shoot(time.at))) continue;
        const auto landed = landings(seen + count);
        const auto lines = switchedOn(landed, seen, kFocusLines);
        const auto shutters = switchedOn(landed, seen, kFocusShutters);
        if (lines.size() != kFocusCameras || shutters.size() != kFocusCameras) {
          problem(family.label, "an armed shot's focus lines and shutters did not all land");
          continue;
        }
        for (const Landing& landing : lines) {
          focus.ms.push_back(ms(landing.at - (time.steadyAt - kCameraFocusLead)));
        }
        for (const Landing& landing : shutters) {
          delays.ms.push_back(ms(landing.at - (time.steadyAt + kCameraDelayStep * landing.relay)));
        }
      }
    });
    figures_.focusError.push_back(std::move(focus));
    figures_.delayError.push_back(std::move(delays));
  }

  void attempt(const std::string& label, const std::function<void()>& measure) {
    try {
      measure();
    } catch (const std::exception& error) {
      problem(label, error.what());
    }
  }
  void problem(const std::string& label, const std::string& what) {
    figures_.problems.push_back("cameras, " + label + ": " + what);
  }

 private:
  bool fired(const std::string& label, const service::Result& result) {
    if (!result.ok) problem(label, "a shot failed: " + result.message.toStdString());
    return result.ok;
  }

  const CameraSettings& settings_;
  CameraFigures& figures_;
};

// Simulated Modbus boards of 8 coils, one per line, at addresses 1, 2, ...
struct ModbusBoards {
  explicit ModbusBoards(int count) {
    for (int n = 1; n <= count; ++n) {
      modules.push_back(
          std::make_unique<sim::ModbusModule>(sim::ModbusModule::Options{kCameras, n, true, 0}));
    }
  }
  Family family(const std::string& label) const {
    Family family;
    family.label = label;
    family.oneCommand = true;
    family.parts = portsOnly({});
    for (const auto& module : modules) {
      family.names.push_back("modbus:" + module->devicePath() + "@" +
                             std::to_string(module->options().address));
      family.landings.push_back(modbusLandings(*module));
    }
    return family;
  }
  std::vector<std::unique_ptr<sim::ModbusModule>> modules;
};

// Simulated HID boards of 8 relays on one bus, with the IDs `ids`.
Family hidFamily(const std::string& label, const std::vector<std::string>& ids) {
  auto bus = std::make_shared<sim::HidRelayBus>();
  Family family;
  family.label = label;
  family.oneCommand = true;
  family.parts = portsOnly({});
  family.parts.hid = bus;
  for (std::size_t n = 0; n < ids.size(); ++n) {
    sim::HidRelayModule& board = bus->boards["/dev/hidraw" + std::to_string(n)];
    board.product = "USBRelay8";
    board.id = ids[n];
    family.names.push_back("hid:" + ids[n]);
    // The bus lives as long as the catalog's parts, and so the boards the landings look at.
    family.landings.push_back(hidLandings(board));
  }
  return family;
}

// Points `link` at `target` in one step, as udev replaces a by-id link.
bool pointLink(const QString& link, const std::string& target) {
  const QString fresh = link + QStringLiteral(".new");
  QFile::remove(fresh);
  return QFile::link(QString::fromStdString(target), fresh) &&
         std::rename(fresh.toLocal8Bit().constData(), link.toLocal8Bit().constData()) == 0;
}

// A board of one kind that can be unplugged and put back behind a stable link.
struct Pluggable {
  std::string label;
  // Makes a fresh board with relay 0 on (a flash left on by hand); its device.
  std::function<std::string()> plugIn;
  std::function<void()> unplug;
  // When the board had the first command that switched a relay off, if it has come.
  std::function<std::optional<LandingClock::time_point>()> firstOff;
  // The board's name in a rig file, given its link.
  std::function<std::string(const std::string& link)> name;
};

// Unplugs the board of a rig of two relays (the flash on 0, a camera's shutter on 1) and puts it
// back, `cycles` times: from its return to the reset's first relay off at the board.
CameraSamples putBack(Pluggable& board, int cycles, std::vector<std::string>& problems) {
  CameraSamples samples{board.label, {}};
  const auto fail = [&](const std::string& what) {
    problems.push_back("put back, " + board.label + ": " + what);
    return samples;
  };
  QTemporaryDir dir;
  const QString link = dir.filePath(QStringLiteral("board"));
  if (!pointLink(link, board.plugIn())) return fail("cannot make the link");
  boards::Catalog::Parts parts;
  // The link is the machine's one serial port, there or not.
  parts.ports = [path = link.toStdString()] {
    if (!QFile::exists(QString::fromStdString(path))) return std::vector<boards::SerialPort>{};
    return std::vector<boards::SerialPort>{{path, {}, {}, {}}};
  };
  const std::string file = "[boards.b]\nboard = \"" + board.name(link.toStdString()) +
                           "\"\nrelays = 2\n[[cameras]]\nname = \"c\"\nshutter = \"b:1\"\n"
                           "[[flashes]]\nname = \"f\"\nline = \"b:0\"\n";
  try {
    ServedRig rig(file, parts);
    rig.open();
    for (int cycle = 0; cycle < cycles; ++cycle) {
      runEventsUntil([] { return false; }, kSettled);
      QFile::remove(link);
      board.unplug();
      if (!runEventsUntil([&] { return rig.state().rig.link == rig::Link::Lost; }, 3s)) {
        return fail("the loss was never shown");
      }
      const std::string device = board.plugIn();
      const auto back = LandingClock::now();
      if (!pointLink(link, device)) return fail("cannot make the link");
      if (!runEventsUntil([&] { return board.firstOff().has_value(); }, 5s)) {
        return fail("the board put back was not reset");
      }
      samples.ms.push_back(ms(*board.firstOff() - back));
      if (!runEventsUntil(
              [&] { return rig.state().rig.link == rig::Link::Opened && !rig.state().busy; }, 3s)) {
        return fail("the rig did not show the board open again");
      }
    }
  } catch (const std::exception& error) {
    return fail(error.what());
  }
  return samples;
}

}  // namespace

CameraFigures measureCameras(SimProcess& wideText, const std::string& wideTextId,
                             const CameraSettings& settings) {
  CameraFigures figures;
  CameraBench bench(settings, figures);

  Family text;
  text.label = "text module, 8 relays";
  text.oneCommand = true;
  text.names = {"text-id:" + wideTextId};
  text.parts = portsOnly({wideText.device()});
  text.landings = {textLandings(wideText)};
  bench.oneBoard(text);
  bench.focusAndDelays(text);

  bench.attempt("Modbus RTU", [&] {
    const ModbusBoards one(1);
    Family modbus = one.family("Modbus RTU, 8 coils");
    bench.oneBoard(modbus);
    bench.focusAndDelays(modbus);
  });
  bench.attempt("CH340", [&] {
    sim::Ch340Module ch340(kCameras, true);
    Family family;
    family.label = "CH340, 8 relays";
    family.parts = portsOnly({});
    family.names = {"ch340:" + ch340.devicePath()};
    family.landings = {ch340Landings(ch340)};
    bench.oneBoard(family);
    bench.focusAndDelays(family);
  });
  Family hid = hidFamily("USB HID, 8 relays, in the process", {"BENCH"});
  bench.oneBoard(hid);
  bench.focusAndDelays(hid);

  bench.attempt("two Modbus RTU boards", [&] {
    const ModbusBoards two(2);
    Family family = two.family("Modbus RTU, 8 coils, x 2");
    bench.twoBoards(family);
  });
  Family twoHid = hidFamily("USB HID, 8 relays, x 2, in the process", {"BENC1", "BENC2"});
  bench.twoBoards(twoHid);

  // Boards put back: each kind's simulated board made afresh behind the same link.
  std::unique_ptr<sim::RelayModule> textBoard;
  std::unique_ptr<sim::Ch340Module> ch340Board;
  std::unique_ptr<sim::ModbusModule> modbusBoard;
  std::vector<Pluggable> pluggables;
  pluggables.push_back({"text module, 2 relays",
                        [&] {
                          sim::Options options;
                          options.identification = "BACK2";
                          options.paced = true;
                          textBoard = std::make_unique<sim::RelayModule>(options);
                          textBoard->setRelay(0, true);
                          return textBoard->devicePath();
                        },
                        [&] { textBoard->vanish(); },
                        [&]() -> std::optional<LandingClock::time_point> {
                          for (const auto& command : textBoard->log()) {
                            if (command.text.starts_with("relay off") ||
                                command.text.starts_with("relay writeall"))
                              return command.at;
                          }
                          return std::nullopt;
                        },
                        [](const std::string&) { return std::string("text-id:BACK2"); }});
  pluggables.push_back({"CH340, 2 relays",
                        [&] {
                          ch340Board = std::make_unique<sim::Ch340Module>(2, true);
                          return ch340Board->devicePath();
                        },
                        [&] { ch340Board.reset(); },
                        [&]() -> std::optional<LandingClock::time_point> {
                          for (const sim::Frame& frame : ch340Board->log()) {
                            if (frame.carriedOut && frame.text.ends_with(" off")) return frame.at;
                          }
                          return std::nullopt;
                        },
                        [](const std::string& link) { return "ch340:" + link; }});
  pluggables.push_back({"Modbus RTU, 2 coils",
                        [&] {
                          modbusBoard = std::make_unique<sim::ModbusModule>(
                              sim::ModbusModule::Options{2, 1, true, 1U});
                          return modbusBoard->devicePath();
                        },
                        [&] { modbusBoard.reset(); },
                        [&]() -> std::optional<LandingClock::time_point> {
                          for (const sim::CoilChange& change : modbusBoard->log()) {
                            if (!change.on) return change.at;
                          }
                          return std::nullopt;
                        },
                        [](const std::string& link) { return "modbus:" + link + "@1"; }});
  for (Pluggable& board : pluggables) {
    figures.putBackMs.push_back(putBack(board, settings.putBack, figures.problems));
  }
  return figures;
}

}  // namespace bench
