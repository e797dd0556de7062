#pragma once

#include <gtest/gtest.h>

#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <QString>
#include <QStringList>
#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "sim/RelayModule.h"
#include "support/PanelOnPtys.h"
#include "support/Settle.h"
#include "windows/Form1.h"
#include "windows/Windows.h"

#if defined(__SANITIZE_ADDRESS__)
#define QUILLMAR_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define QUILLMAR_ASAN 1
#endif
#endif

namespace reliability {

using namespace std::chrono_literals;
using Millis = std::chrono::milliseconds;

// Resident memory of this process in KiB, from /proc/self/status; 0 when unknown.
inline long residentKiB() {
  std::ifstream status("/proc/self/status");
  std::string key;
  while (status >> key) {
    if (key == "VmRSS:") {
      long kib = 0;
      status >> kib;
      return kib;
    }
    status.ignore(4096, '\n');
  }
  return 0;
}

// Address sanitizer keeps freed memory in quarantine, so resident size says nothing there.
constexpr bool kResidentSizeMeaningful =
#ifdef QUILLMAR_ASAN
    false;
#else
    true;
#endif

// A whole number from the environment, or `fallback` when unset or not a positive number.
inline long fromEnvironment(const char* name, long fallback) {
  const char* value = std::getenv(name);
  if (value == nullptr) return fallback;
  char* end = nullptr;
  const long number = std::strtol(value, &end, 10);
  return end != value && *end == '\0' && number > 0 ? number : fallback;
}

// The texts of the commands from index `first` on, once `count` of them have arrived (or two
// seconds have passed): a command the panel has sent may still be on its way to the module.
inline std::vector<std::string> arrived(const sim::RelayModule& module, std::size_t first,
                                        std::size_t count) {
  module.waitForCommands(first + count, 2s);
  // A moment more, so a command too many would be seen as well.
  module.waitForCommands(first + count + 1, 50ms);
  return texts(module.logSince(first));
}

inline bool anySwitchedOn(const std::vector<sim::Command>& log) {
  return std::any_of(log.begin(), log.end(),
                     [](const sim::Command& c) { return c.text.starts_with("relay on"); });
}

// Runs `act` on a helper thread once the module has received `count` commands: the fault then
// strikes while the panel is in the middle of the action that sent them.
class WhenCommands {
 public:
  template <typename Act>
  WhenCommands(sim::RelayModule& module, std::size_t count, Act act)
      : thread_([this, &module, count, act] {
          reached_ = module.waitForCommands(count, 20s);
          act();
        }) {}
  ~WhenCommands() { join(); }
  WhenCommands(const WhenCommands&) = delete;
  WhenCommands& operator=(const WhenCommands&) = delete;

  // True when the command count was reached (and not the helper's time limit).
  bool reached() {
    join();
    return reached_;
  }

 private:
  void join() {
    if (thread_.joinable()) thread_.join();
  }
  bool reached_ = false;
  std::thread thread_;
};

// The main window on the real serial control. Port n is the symlink "p<n>" in a private folder,
// so a test plugs a module in by pointing that name at the module's terminal, and plugs a new
// one in under the same number after the first has gone, as a replugged USB device reappears.
// The rig skips its own pulses and pauses unless a test asks for the real clock before it opens
// the window.
class RigOnPtys : public PanelOnPtys {
 protected:
  static constexpr int kPorts = 15;

  void SetUp() override {
    PanelOnPtys::SetUp();
    useSkippingClock();
    QStringList devices;
    for (int n = 1; n <= kPorts; ++n) devices << link(n);
    useDevices(devices);
  }

  QString link(int port) const { return tempPath(QStringLiteral("p%1").arg(port)); }
  std::string device(int port) const { return link(port).toStdString(); }

  // Port `port` now leads to `target` (replacing in one step whatever it led to).
  void plug(int port, const std::string& target) { ASSERT_TRUE(pointLink(link(port), target)); }
  void plug(int port, const sim::RelayModule& module) { plug(port, module.devicePath()); }

  // Clicks `button` as the operator would and returns how long it took until what it asked for
  // had run and the window showed its end.
  static Millis click(QPushButton* button) {
    const auto start = std::chrono::steady_clock::now();
    button->click();
    settle(form1().service());
    return std::chrono::duration_cast<Millis>(std::chrono::steady_clock::now() - start);
  }

  // Types `choice` into the port selector and clicks "Open Com Port".
  static Millis open(const QString& choice) {
    form1().combo1()->setEditText(choice);
    return click(form1().command1());
  }

  static QString status() { return form1().text3()->text(); }
  static bool portOpen() { return form1().service().state().open; }
  static QString statusTip() { return form1().text3()->toolTip(); }

  // Opens `port` by number, checks that it opened, and waits for the opening's reset to reach
  // the module.
  void openByNumber(int port, const sim::RelayModule& module) {
    const std::size_t before = module.log().size();
    open(QString::number(port));
    ASSERT_EQ(status(), QStringLiteral("Port Found and Opened")) << statusTip().toStdString();
    ASSERT_TRUE(portOpen());
    ASSERT_EQ(arrived(module, before, 2), (std::vector<std::string>{"relay off 0", "relay off 1"}));
  }

  // The one warning shown since the last call names the action, the port, its device and a
  // reason; returns the warning's text.
  QString expectWarning(const QString& action, int port) {
    EXPECT_EQ(failures.size(), 1U);
    if (failures.empty()) return {};
    const Failure failure = failures.back();
    failures.clear();
    EXPECT_EQ(failure.title, action + QStringLiteral(" failed"));
    const QString where = QStringLiteral("Port %1 (%2): ").arg(port).arg(link(port));
    EXPECT_TRUE(failure.text.contains(QLatin1Char('"') + action + QLatin1Char('"')))
        << failure.text.toStdString();
    EXPECT_TRUE(failure.text.contains(where)) << failure.text.toStdString();
    const qsizetype at = failure.text.indexOf(where);
    EXPECT_GT(failure.text.size() - (at + where.size()), 5) << "no reason given";
    return failure.text;
  }

  // After a failure the window still takes clicks and the port selector still works.
  static void expectPanelUsable() {
    Form1& window = form1();
    EXPECT_FALSE(window.service().busy());
    EXPECT_TRUE(window.combo1()->isEnabled());
    EXPECT_TRUE(window.command1()->isEnabled());
  }

  // A new module on `port`, found by "AUTOMATIC", takes a flash toggle and a shutter pulse.
  void expectFoundAgain(sim::RelayModule& module, int port) {
    plug(port, module);
    const Millis took = open(QStringLiteral("AUTOMATIC"));
    EXPECT_LT(took, 10s);
    ASSERT_EQ(status(), QStringLiteral("Port found and opened")) << statusTip().toStdString();
    EXPECT_EQ(form1().combo1()->currentText(), QString::number(port));
    EXPECT_EQ(statusTip(), link(port));
    // The identification question and two resets.
    ASSERT_EQ(arrived(module, 0, 5).size(), 5U);

    const std::size_t before = module.log().size();
    click(form1().command5());
    click(form1().command6());
    EXPECT_TRUE(failures.empty()) << failures.front().text.toStdString();
    EXPECT_EQ(arrived(module, before, 5),
              (std::vector<std::string>{"relay read 0", "relay on 0", "relay read 1", "relay on 1",
                                        "relay off 1"}));
    EXPECT_TRUE(module.relay(0)) << "the flash toggle reached the new module";
    EXPECT_FALSE(module.relay(1));
  }
};

}  // namespace reliability
