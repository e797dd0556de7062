#include "ViewRows.h"
#include "EventStream.h"

#include <sys/resource.h>

#include <QApplication>
#include <QEvent>
#include <QTemporaryDir>
#include <memory>
#include <optional>

#include "ServedRig.h"
#include "rigfile/RigFile.h"
#include "sim/HidRelayModule.h"
#include "web/WebRemote.h"
#include "windows/CursorRest.h"
#include "windows/RigWindow.h"

namespace bench {

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr int kBoards = 2;
constexpr int kCamerasEach = 8;
// The idle window is measured over this long, as the panel's.
constexpr auto kIdleCpuWindow = 10s;

double ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

// The calling thread's processor time: the window's, without the rig service's thread, which
// looks at the boards between jobs whatever view shows them.
double cpuSeconds() {
  rusage usage{};
  ::getrusage(RUSAGE_THREAD, &usage);
  auto seconds = [](const timeval& t) {
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6;
  };
  return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

// The rig file: 16 cameras, 8 on each board, each shutter on a relay of its own.
std::string rigFile() {
  std::string file = "[timings]\npulse = \"50ms\"\n";
  for (int b = 0; b < kBoards; ++b) {
    file += "[boards.b" + std::to_string(b) + "]\nboard = \"hid:VIEW" + std::to_string(b) +
            "\"\nrelays = " + std::to_string(kCamerasEach) + "\n";
  }
  for (int b = 0; b < kBoards; ++b) {
    for (int n = 0; n < kCamerasEach; ++n) {
      file += "[[cameras]]\nname = \"c" + std::to_string(b) + "-" + std::to_string(n) +
              "\"\nshutter = \"b" + std::to_string(b) + ":" + std::to_string(n) + "\"\n";
    }
  }
  return file;
}

// Stamps every paint of the rig window or any of its controls.
class PaintStamps : public QObject {
 public:
  explicit PaintStamps(QWidget& window) : window_(window) { qApp->installEventFilter(this); }
  ~PaintStamps() override { qApp->removeEventFilter(this); }
  PaintStamps(const PaintStamps&) = delete;
  PaintStamps& operator=(const PaintStamps&) = delete;

  // The changes told since the last paint: each is repainted by the next one.
  std::vector<Clock::time_point> pending;
  std::vector<double> waitsMs;

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override {
    if (event->type() == QEvent::Paint && !pending.empty()) {
      auto* widget = qobject_cast<QWidget*>(watched);
      if (widget != nullptr && (widget == &window_ || window_.isAncestorOf(widget))) {
        const auto now = Clock::now();
        for (const Clock::time_point at : pending) waitsMs.push_back(ms(now - at));
        pending.clear();
      }
    }
    return false;
  }

 private:
  QWidget& window_;
};

}  // namespace

ViewFigures measureViews(int shots, int cpuSamples,
                         const std::function<void(Clock::duration)>& idle) {
  ViewFigures figures;
  auto problem = [&figures](const std::string& what) {
    figures.problems.push_back("views: " + what);
  };

  QTemporaryDir runtime;
  qputenv("XDG_RUNTIME_DIR", runtime.path().toLocal8Bit());
  auto hid = std::make_shared<sim::HidRelayBus>();
  for (int b = 0; b < kBoards; ++b) {
    sim::HidRelayModule& board = hid->boards["/dev/hidraw-view" + std::to_string(b)];
    board.product = "USBRelay8";
    board.id = "VIEW" + std::to_string(b);
  }
  boards::Catalog::Parts parts;
  parts.ports = [] { return std::vector<boards::SerialPort>{}; };
  parts.hid = hid;
  const std::string file = rigFile();
  ServedRig served(file, parts);

  // Each change of a camera's lines as the rig service tells it, stamped before the window and
  // the web channel hear of it: these connections are made first.
  std::optional<rig::RoleState> roles;
  std::vector<Clock::time_point> changed;
  std::unique_ptr<PaintStamps> paints;
  QObject::connect(&served.service(), &service::RigHost::stateChanged,
                   [&](const service::State& state) {
                     const auto now = Clock::now();
                     changed.push_back(now);
                     if (paints && state.roles != roles) paints->pending.push_back(now);
                     roles = state.roles;
                   });
  RigWindow window(served.service(), rigfile::parse(file, "bench.toml"),
                   QStringLiteral("bench.toml"));
  const windows::CursorRest cursorRest;
  window.show();
  try {
    served.open();
  } catch (const std::exception& error) {
    problem(error.what());
    qunsetenv("XDG_RUNTIME_DIR");
    return figures;
  }
  idle(200ms);

  web::WebSettings settings;
  web::WebRemote remote(served.service(), settings);
  if (!remote.listen()) {
    problem("the phone remote did not start: " + remote.errorString().toStdString());
    qunsetenv("XDG_RUNTIME_DIR");
    return figures;
  }
  const quint16 port = remote.port();
  EventStream events(port, remote.token());
  if (!events.open()) problem("no event stream");
  idle(200ms);
  const std::size_t initial = events.count();
  changed.clear();
  paints = std::make_unique<PaintStamps>(window);

  for (int shot = 0; shot < shots; ++shot) {
    try {
      const service::Result result = served.shoot();
      if (!result.ok) problem("a shot failed: " + result.message.toStdString());
    } catch (const std::exception& error) {
      problem(error.what());
      break;
    }
    idle(100ms);
  }
  idle(200ms);
  figures.repaintMs = paints->waitsMs;
  if (!paints->pending.empty()) problem("a change of the cameras' lines was never repainted");
  paints.reset();

  {
    const std::vector<Clock::time_point> arrived = events.close();
    const std::size_t pushed = arrived.size() - initial;
    if (pushed != changed.size()) {
      problem("the event stream got " + std::to_string(pushed) + " events for " +
              std::to_string(changed.size()) + " state changes");
    }
    for (std::size_t i = 0; i < std::min(pushed, changed.size()); ++i) {
      figures.pushMs.push_back(ms(arrived[initial + i] - changed[i]));
    }
  }

  // The window left open at a shoot, the rig open and nothing running: once its cursor rests.
  const auto restBy = Clock::now() + windows::CursorRest::kIdle + 2s;
  while (!cursorRest.resting() && Clock::now() < restBy) idle(100ms);
  if (!cursorRest.resting()) problem("the cursor never came to rest");
  for (int sample = 0; sample < cpuSamples && cursorRest.resting(); ++sample) {
    const double before = cpuSeconds();
    idle(kIdleCpuWindow);
    const double seconds = std::chrono::duration<double>(kIdleCpuWindow).count();
    figures.idleCpu.push_back((cpuSeconds() - before) / seconds * 100.0);
  }
  qunsetenv("XDG_RUNTIME_DIR");
  return figures;
}

}  // namespace bench
