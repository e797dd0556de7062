#include "ReconnectRows.h"

#include <sys/resource.h>

#include <QComboBox>
#include <QEventLoop>
#include <QFile>
#include <QLineEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTimer>
#include <chrono>
#include <cstdio>
#include <functional>
#include <memory>
#include <optional>

#include "serial/CommControl.h"
#include "serial/PortMap.h"
#include "sim/RelayModule.h"
#include "windows/CursorRest.h"
#include "windows/Form1.h"

namespace bench {

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// A reopened module lost again sooner than this counts as flapping and is held off: each cycle
// waits it out, so every return is measured as a first one.
constexpr auto kSettled = 5200ms;
constexpr auto kIdleCpuWindow = 10s;

double ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

double cpuSeconds() {
  rusage usage{};
  ::getrusage(RUSAGE_SELF, &usage);
  auto seconds = [](const timeval& t) { return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6; };
  return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

// Runs the event loop until `done` holds or `limit` has passed; whether it holds.
bool runUntil(const std::function<bool()>& done, Clock::duration limit) {
  const auto end = Clock::now() + limit;
  while (!done()) {
    if (Clock::now() >= end) return false;
    QEventLoop loop;
    QTimer::singleShot(2ms, &loop, &QEventLoop::quit);
    loop.exec();
  }
  return true;
}

void idle(Clock::duration d) {
  QEventLoop loop;
  QTimer::singleShot(std::chrono::ceil<std::chrono::milliseconds>(d), &loop, &QEventLoop::quit);
  loop.exec();
}

// Points `link` at `target` in one step, as udev replaces a by-id link.
bool pointLink(const QString& link, const std::string& target) {
  const QString fresh = link + QStringLiteral(".new");
  QFile::remove(fresh);
  return QFile::link(QString::fromStdString(target), fresh) &&
         std::rename(fresh.toLocal8Bit().constData(), link.toLocal8Bit().constData()) == 0;
}

}  // namespace

ReconnectSamples measureReconnects(int cycles, int cpuSamples) {
  ReconnectSamples out;
  QTemporaryDir dir;
  const QString link = dir.filePath(QStringLiteral("relay"));
  auto module = std::make_unique<sim::RelayModule>();
  if (!pointLink(link, module->devicePath())) {
    out.problems.push_back("reconnect: cannot make the link");
    return out;
  }
  Form1 window([link] { return std::make_unique<serial::CommControl>(serial::PortMap({link})); });
  // As the program has it: the text cursor stops blinking once no input came for a while.
  const windows::CursorRest cursorRest;
  window.show();
  std::optional<Clock::time_point> lostShown;
  QObject::connect(window.text3(), &QLineEdit::textChanged, [&lostShown](const QString& text) {
    if (text == QStringLiteral("Port Lost") && !lostShown) lostShown = Clock::now();
  });
  const auto reopened = [&window] {
    return window.text3()->toolTip().contains(QLatin1String("reconnected")) &&
           window.text3()->text() == QStringLiteral("Port Found and Opened") &&
           !window.service().state().busy;
  };

  window.combo1()->setEditText(QStringLiteral("1"));
  window.command1()->click();
  if (!runUntil([&] { return module->log().size() >= 2 && !window.service().busy(); }, 3s)) {
    out.problems.push_back("reconnect: the first opening failed");
    return out;
  }

  // Measured as a panel left waiting at a shoot: once its cursor has stopped blinking.
  if (!runUntil([&] { return cursorRest.resting(); }, windows::CursorRest::kIdle + 2s)) {
    out.problems.push_back("reconnect: the cursor never came to rest");
    return out;
  }

  // The same panel with its port open and nothing to watch, for comparison.
  for (int sample = 0; sample < cpuSamples; ++sample) {
    const double before = cpuSeconds();
    idle(kIdleCpuWindow);
    const double seconds = std::chrono::duration<double>(kIdleCpuWindow).count();
    out.idleCpuOpen.push_back((cpuSeconds() - before) / seconds * 100.0);
  }

  for (int cycle = 0; cycle < cycles; ++cycle) {
    idle(kSettled);
    lostShown.reset();
    QFile::remove(link);
    const auto gone = Clock::now();
    module->vanish();
    if (!runUntil([&] { return lostShown.has_value(); }, 2s)) {
      out.problems.push_back("reconnect: \"Port Lost\" never showed");
      return out;
    }
    out.lostMs.push_back(ms(*lostShown - gone));

    if (cycle < cpuSamples) {
      const double before = cpuSeconds();
      idle(kIdleCpuWindow);
      const double seconds = std::chrono::duration<double>(kIdleCpuWindow).count();
      out.idleCpu.push_back((cpuSeconds() - before) / seconds * 100.0);
    } else {
      idle(100ms);
    }

    module = std::make_unique<sim::RelayModule>();
    module->setRelay(0, true);
    const auto back = Clock::now();
    if (!pointLink(link, module->devicePath()) || !module->waitForCommands(1, 3s)) {
      out.problems.push_back("reconnect: the returning module got no command");
      return out;
    }
    const auto first = module->log().front();
    if (first.text != "relay off 0") {
      out.problems.push_back("reconnect: the first command was " + first.text);
    }
    out.backMs.push_back(ms(first.at - back));
    if (!runUntil(reopened, 3s)) {
      out.problems.push_back("reconnect: the panel did not show the reopening");
      return out;
    }
  }
  return out;
}

}  // namespace bench
