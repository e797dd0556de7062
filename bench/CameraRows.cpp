#include "CameraRows.h"

#include <algorithm>
#include <exception>
#include <functional>
#include <memory>
#include <utility>

#include "Landings.h"
#include "modbus/ModbusBoard.h"
#include "rig/Arming.h"
#include "rig/HidRelayBoard.h"
#include "rig/RigDescription.h"
#include "rig/RoleRig.h"
#include "rig/SystemClock.h"
#include "rig/TextBoard.h"
#include "serial/Ch340Board.h"
#include "serial/CommControl.h"
#include "sim/Ch340Module.h"
#include "sim/HidRelayModule.h"
#include "sim/ModbusModule.h"

namespace bench {

namespace {

using namespace std::chrono_literals;

constexpr int kCameras = 8;  // per board
constexpr rig::RelayMask kShutters = (1U << kCameras) - 1;
// What one shot of a board's 8 cameras lands: each shutter on and off.
constexpr std::size_t kShotLandings = 2 * static_cast<std::size_t>(kCameras);
constexpr auto kPulse = 50ms;
// An armed shot's time is this far ahead when it is asked: room for the arming and the leads.
constexpr auto kArmedAhead = 400ms;

// A board of a rig under measurement: its driver, opened, and its simulated board's landings.
struct Subject {
  std::string label;
  std::unique_ptr<rig::Board> board;
  Landings landings;
};

// The board named "b<n>" in a rig: n as its place in `subjects`.
std::string boardName(std::size_t n) { return "b" + std::to_string(n); }

// 8 cameras on each board, shutters on relays 0 to 7; with `focus`, their focus lines on relays
// 8 to 15 and the focus lead; with `delays`, camera n's shutter kCameraDelayStep * n after the
// shot.
rig::RigDescription cameraRig(std::size_t boards, bool focus, bool delays) {
  rig::RigDescription rig;
  rig.timings.pulse = std::chrono::duration_cast<std::chrono::milliseconds>(kPulse);
  rig.timings.focus = focus ? kCameraFocusLead : 0ms;
  for (std::size_t b = 0; b < boards; ++b) {
    rig.boards.push_back({boardName(b), std::nullopt, std::nullopt});
    for (int n = 0; n < kCameras; ++n) {
      rig::RigCamera camera;
      camera.name = "c" + std::to_string(b * kCameras + n);
      camera.shutter = {boardName(b), n};
      if (focus) camera.focus = rig::RelayLine{boardName(b), kCameras + n};
      if (delays) camera.delay = kCameraDelayStep * n;
      rig.cameras.push_back(std::move(camera));
    }
  }
  return rig;
}

rig::RigBoards boardsOf(const std::vector<Subject*>& subjects) {
  rig::RigBoards boards;
  for (std::size_t n = 0; n < subjects.size(); ++n) boards[boardName(n)] = subjects[n]->board.get();
  return boards;
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

LandingClock::time_point earliest(const std::vector<Landing>& landings) {
  return std::min_element(landings.begin(), landings.end(),
                          [](const Landing& a, const Landing& b) { return a.at < b.at; })
      ->at;
}

class CameraBench {
 public:
  CameraBench(const CameraSettings& settings, CameraFigures& figures)
      : settings_(settings), figures_(figures) {}

  // 8 cameras on one board: one switchRelay call per shutter, then one shot through the rig.
  void oneBoard(Subject& subject) {
    OneBoardCameras kind;
    kind.boards = subject.label;
    tryOn(subject.label, [&] {
      rig::Board& board = *subject.board;
      kind.oneCommand = board.abilities().switchMany;
      rig::RoleRig rig(cameraRig(1, false, false), boardsOf({&subject}), clock_);
      for (int round = 0; round < settings_.rounds; ++round) {
        std::size_t seen = quiet(subject.landings);
        for (int relay = 0; relay < kCameras; ++relay) board.switchRelay(relay, true);
        const auto oneByOne = switchedOn(subject.landings(seen + kCameras), seen, kShutters);
        board.switchRelays(kShutters, 0);
        if (oneByOne.size() == kCameras) kind.oneByOneMs.push_back(spreadMs(oneByOne));
        seen = quiet(subject.landings);
        // The shot switches the shutters on and, after the pulse, off.
        rig.shutter();
        const auto shot = switchedOn(subject.landings(seen + kShotLandings), seen, kShutters);
        if (oneByOne.size() != kCameras || shot.size() != kCameras) {
          problem(subject.label, "8 shutters switched on did not all land");
          continue;
        }
        kind.shotMs.push_back(spreadMs(shot));
      }
    });
    figures_.oneBoard.push_back(std::move(kind));
  }

  // 16 cameras on two boards, one shot: the first shutter's landing to the last, on either.
  void twoBoards(const std::string& label, Subject& first, Subject& second) {
    CameraSamples samples{label, {}};
    tryOn(label, [&] {
      rig::RoleRig rig(cameraRig(2, false, false), boardsOf({&first, &second}), clock_);
      for (int round = 0; round < settings_.rounds; ++round) {
        const std::size_t seenFirst = quiet(first.landings);
        const std::size_t seenSecond = quiet(second.landings);
        rig.shutter();
        auto landed = switchedOn(first.landings(seenFirst + kShotLandings), seenFirst, kShutters);
        const auto other =
            switchedOn(second.landings(seenSecond + kShotLandings), seenSecond, kShutters);
        landed.insert(landed.end(), other.begin(), other.end());
        if (landed.size() != kShotLandings) {
          problem(label, "16 shutters switched on did not all land");
          continue;
        }
        samples.ms.push_back(spreadMs(landed));
      }
    });
    figures_.twoBoards.push_back(std::move(samples));
  }

  // 8 cameras with focus lines on one board of 16 relays: the focus lines' landing to the
  // shutters', against the rig's focus lead.
  void focusLead(Subject& subject) {
    CameraSamples samples{subject.label, {}};
    tryOn(subject.label, [&] {
      rig::RoleRig rig(cameraRig(1, true, false), boardsOf({&subject}), clock_);
      const double leadMs = ms(kCameraFocusLead);
      for (int round = 0; round < settings_.rounds; ++round) {
        const std::size_t seen = quiet(subject.landings);
        rig.shutter();
        // The focus lines and the shutters on, and all of them off.
        const auto landed = subject.landings(seen + 2 * kShotLandings);
        const auto focus = switchedOn(landed, seen, kShutters << kCameras);
        const auto shutters = switchedOn(landed, seen, kShutters);
        if (focus.size() != kCameras || shutters.size() != kCameras) {
          problem(subject.label, "the focus lines and shutters did not all land");
          continue;
        }
        samples.ms.push_back(ms(earliest(shutters) - earliest(focus)) - leadMs);
      }
    });
    figures_.focusError.push_back(std::move(samples));
  }

  // Armed shots of 8 cameras, camera n's shutter kCameraDelayStep * n after the shot's time
  // (`together`: all of them at the shot's time): each shutter's landing against its time.
  void armed(Subject& subject, bool together = false) {
    CameraSamples samples{subject.label, {}};
    tryOn(subject.label, [&] {
      rig::RoleRig rig(cameraRig(1, false, !together), boardsOf({&subject}), clock_);
      const auto delayStep = together ? 0ms : kCameraDelayStep;
      for (int shot = 0; shot < settings_.armedShots; ++shot) {
        const std::size_t seen = quiet(subject.landings);
        rig::Timings timings = rig.timings();
        const auto at = std::chrono::system_clock::now() + kArmedAhead;
        // The real time on the steady clock the landings are stamped with, read together.
        const auto steadyAt = LandingClock::now() + (at - std::chrono::system_clock::now());
        timings.armed = rig::Arming{at, {}, {}};
        rig.shutter({}, timings);
        const auto landed = switchedOn(subject.landings(seen + kShotLandings), seen, kShutters);
        if (landed.size() != kCameras) {
          problem(subject.label, "an armed shot's shutters did not all land");
          continue;
        }
        for (const Landing& landing : landed) {
          samples.ms.push_back(ms(landing.at - (steadyAt + delayStep * landing.relay)));
        }
      }
    });
    (together ? figures_.armedTogetherError : figures_.armedError).push_back(std::move(samples));
  }

 private:
  void tryOn(const std::string& label, const std::function<void()>& measure) {
    try {
      measure();
    } catch (const std::exception& error) {
      problem(label, error.what());
    }
  }
  void problem(const std::string& label, const std::string& what) {
    figures_.problems.push_back("cameras, " + label + ": " + what);
  }

  const CameraSettings& settings_;
  CameraFigures& figures_;
  rig::SystemClock clock_;
};

// A simulated Modbus board of `coils` coils at `address` and its driver, paced at 9600 baud.
struct ModbusSubject {
  ModbusSubject(const std::string& label, int coils, int address) : module({coils, address, true}) {
    modbus::ModbusBoard::Options options;
    options.relays = coils;
    subject.label = label;
    subject.board = std::make_unique<modbus::ModbusBoard>(module.devicePath(), address, options);
    subject.landings = modbusLandings(module);
    subject.board->open();
  }
  sim::ModbusModule module;
  Subject subject;
};

// A simulated HID board of 8 relays on `bus`, and its driver.
Subject hidSubject(sim::HidRelayBus& bus, const std::string& path, const std::string& id) {
  sim::HidRelayModule& hid = bus.boards[path];
  hid.product = "USBRelay8";
  hid.id = id;
  Subject subject;
  subject.label = "USB HID, 8 relays, in the process";
  subject.board = std::make_unique<rig::HidRelayBoard>(bus, id);
  subject.landings = hidLandings(hid);
  subject.board->open();
  return subject;
}

}  // namespace

CameraFigures measureCameras(SimProcess& wideText, const CameraSettings& settings) {
  CameraFigures figures;
  CameraBench bench(settings, figures);
  const auto attempt = [&figures](const std::string& label, const std::function<void()>& run) {
    try {
      run();
    } catch (const std::exception& error) {
      figures.problems.push_back("cameras, " + label + ": " + error.what());
    }
  };

  attempt("text module", [&] {
    serial::CommControl serial(serial::PortMap({QString::fromStdString(wideText.device())}));
    rig::SystemClock clock;
    Subject subject;
    subject.label = "text module, 8 relays";
    subject.board = std::make_unique<rig::TextBoard>(serial, clock);
    subject.landings = textLandings(wideText);
    subject.board->open();
    // Read once, as a rig's opening does: from then on it knows the module's "relay writeall".
    subject.board->readRelays();
    bench.armed(subject, true);
    subject.board->close();
  });
  attempt("Modbus RTU", [&] {
    ModbusSubject one("Modbus RTU, 8 coils", kCameras, 1);
    bench.oneBoard(one.subject);
    bench.armed(one.subject);
    bench.armed(one.subject, true);
  });
  attempt("CH340", [&] {
    sim::Ch340Module ch340(kCameras, true);
    Subject subject;
    subject.label = "CH340, 8 relays";
    subject.board = std::make_unique<serial::Ch340Board>(ch340.devicePath(), kCameras);
    subject.landings = ch340Landings(ch340);
    subject.board->open();
    bench.oneBoard(subject);
    bench.armed(subject);
  });
  attempt("USB HID", [&] {
    sim::HidRelayBus bus;
    Subject subject = hidSubject(bus, "/dev/hidraw0", "BENCH");
    bench.oneBoard(subject);
    bench.armed(subject);
  });
  attempt("two Modbus RTU boards", [&] {
    ModbusSubject first("Modbus RTU, 8 coils", kCameras, 1);
    ModbusSubject second("Modbus RTU, 8 coils", kCameras, 2);
    bench.twoBoards("Modbus RTU, 8 coils, x 2", first.subject, second.subject);
  });
  attempt("two USB HID boards", [&] {
    sim::HidRelayBus bus;
    Subject first = hidSubject(bus, "/dev/hidraw0", "BENC1");
    Subject second = hidSubject(bus, "/dev/hidraw1", "BENC2");
    bench.twoBoards("USB HID, 8 relays, x 2, in the process", first, second);
  });
  attempt("Modbus RTU, focus", [&] {
    ModbusSubject focus("Modbus RTU, 16 coils", 2 * kCameras, 1);
    bench.focusLead(focus.subject);
  });
  return figures;
}

}  // namespace bench
