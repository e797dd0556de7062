#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <random>

#include "RigOnPtys.h"

using namespace reliability;

namespace {

sim::Options silent() {
  sim::Options options;
  options.silent = true;
  return options;
}

// The reset that follows an opening sends these two commands.
constexpr std::size_t kResetCommands = 2;

class ModuleGone : public RigOnPtys {};
class BadLine : public RigOnPtys {};
class PortRefused : public RigOnPtys {};

// ---- the module goes away ----

TEST_F(ModuleGone, BeforeEachActionTheActionIsRefusedPlainlyAndAutomaticFindsTheNewModule) {
  struct Action {
    QString name;
    QPushButton* (Form1::*button)() const;
  };
  const Action actions[] = {{QStringLiteral("Main Flash"), &Form1::command5},
                            {QStringLiteral("Camera Shutter"), &Form1::command6},
                            {QStringLiteral("Start"), &Form1::command8}};
  constexpr int kPort = 2;
  auto module = std::make_unique<sim::RelayModule>();
  plug(kPort, *module);
  openByNumber(kPort, *module);

  for (const Action& action : actions) {
    SCOPED_TRACE(action.name.toStdString());
    module->vanish();
    const Millis took = click((form1().*action.button)());
    EXPECT_LT(took, 3s);
    const QString warning = expectWarning(action.name, kPort);
    EXPECT_TRUE(warning.contains(QLatin1String("removed")) ||
                warning.contains(QLatin1String("hung up")))
        << warning.toStdString();
    expectPanelUsable();

    // A second click on the dead port is refused the same way, not crashed on.
    click((form1().*action.button)());
    expectWarning(action.name, kPort);

    module = std::make_unique<sim::RelayModule>();
    expectFoundAgain(*module, kPort);
  }
}

TEST_F(ModuleGone, DuringAQueryNothingIsSwitchedAndTheFlashIsRefused) {
  constexpr int kPort = 3;
  // A module that takes its time: the query is still waiting when the terminal closes.
  auto module = std::make_unique<sim::RelayModule>(silent());
  plug(kPort, *module);
  openByNumber(kPort, *module);

  WhenCommands gone(*module, kResetCommands + 1, [&] { module->vanish(); });
  EXPECT_LT(click(form1().command5()), 3s);
  ASSERT_TRUE(gone.reached());
  expectWarning(QStringLiteral("Main Flash"), kPort);
  EXPECT_FALSE(anySwitchedOn(module->log()));
  EXPECT_EQ(form1().command5()->text(), QStringLiteral("Flash 1")) << "caption left as it was";
  expectPanelUsable();

  auto back = std::make_unique<sim::RelayModule>();
  expectFoundAgain(*back, kPort);
}

TEST_F(ModuleGone, DuringAPulseTheShutterActionIsRefused) {
  constexpr int kPort = 1;
  // The module goes while the shutter is really held open.
  useRealClock();
  auto module = std::make_unique<sim::RelayModule>();
  plug(kPort, *module);
  openByNumber(kPort, *module);

  // Gone while the shutter is held open: "relay off 1" has nowhere to go.
  WhenCommands gone(*module, kResetCommands + 2, [&] { module->vanish(); });
  EXPECT_LT(click(form1().command6()), 3s);
  ASSERT_TRUE(gone.reached());
  EXPECT_EQ(arrived(*module, kResetCommands, 2),
            (std::vector<std::string>{"relay read 1", "relay on 1"}));
  expectWarning(QStringLiteral("Camera Shutter"), kPort);
  expectPanelUsable();

  auto back = std::make_unique<sim::RelayModule>();
  expectFoundAgain(*back, kPort);
}

TEST_F(ModuleGone, DuringASequenceTheRestOfTheSequenceIsNotAttempted) {
  constexpr int kPort = 5;
  auto module = std::make_unique<sim::RelayModule>();
  plug(kPort, *module);
  openByNumber(kPort, *module);

  // First shot done, flash switched on, and gone as the second shot asks for the shutter.
  WhenCommands gone(*module, kResetCommands + 6, [&] { module->vanish(); });
  EXPECT_LT(click(form1().command8()), 5s);
  ASSERT_TRUE(gone.reached());
  expectWarning(QStringLiteral("Start"), kPort);
  expectPanelUsable();

  auto back = std::make_unique<sim::RelayModule>();
  expectFoundAgain(*back, kPort);
}

TEST_F(ModuleGone, DuringAScanTheScanEndsWithPortNotFoundAndAWordOnWhy) {
  constexpr int kPort = 4;
  // Silent, so the identification question is still unanswered when the terminal closes.
  auto module = std::make_unique<sim::RelayModule>(silent());
  plug(kPort, *module);

  WhenCommands gone(*module, 1, [&] { module->vanish(); });
  EXPECT_LT(open(QStringLiteral("AUTOMATIC")), 5s);
  ASSERT_TRUE(gone.reached());
  EXPECT_EQ(texts(module->log()), (std::vector<std::string>{"id get"}));
  EXPECT_EQ(status(), QStringLiteral("Port Not Found"));
  EXPECT_TRUE(statusTip().contains(QLatin1String("no relay module answered")))
      << statusTip().toStdString();
  EXPECT_TRUE(statusTip().contains(QStringLiteral("port %1 (%2)").arg(kPort).arg(link(kPort))))
      << "the port that went away is named: " << statusTip().toStdString();
  EXPECT_TRUE(failures.empty());
  EXPECT_FALSE(portOpen());
  expectPanelUsable();

  auto back = std::make_unique<sim::RelayModule>();
  expectFoundAgain(*back, kPort);
}

// ---- the module answers badly ----

TEST_F(BadLine, SilentModuleFailsWithinTheBoundAndOnlyTheShutterIsCommandedOff) {
  constexpr int kPort = 1;
  sim::RelayModule module(silent());
  plug(kPort, module);
  openByNumber(kPort, module);

  // About a second for each of the two sends.
  EXPECT_LT(click(form1().command5()), 2500ms);
  const QString warning = expectWarning(QStringLiteral("Main Flash"), kPort);
  EXPECT_TRUE(warning.contains(QLatin1String("did not answer"))) << warning.toStdString();
  EXPECT_EQ(arrived(module, kResetCommands, 2),
            (std::vector<std::string>{"relay read 0", "relay read 0"}));

  EXPECT_LT(click(form1().command6()), 2500ms);
  expectWarning(QStringLiteral("Camera Shutter"), kPort);
  EXPECT_EQ(arrived(module, kResetCommands + 2, 3),
            (std::vector<std::string>{"relay read 1", "relay read 1", "relay off 1"}));
  EXPECT_FALSE(module.relay(0));
  EXPECT_FALSE(module.relay(1));
  expectPanelUsable();
}

TEST_F(BadLine, ModuleAnsweringAfterTwoSecondsIsNotWaitedForAndNothingIsSwitchedOn) {
  constexpr int kPort = 2;
  sim::RelayModule module;
  plug(kPort, module);
  openByNumber(kPort, module);
  sim::Options late;
  late.replyDelay = 2000ms;
  module.setOptions(late);

  // A module busy with one answer holds back the echo of the next command as well: a query
  // gets the echo alone, an earlier answer, or nothing, and a warning. A click waits about a
  // second for each of at most two sends.
  for (QPushButton* button : {form1().command5(), form1().command6(), form1().command5()}) {
    EXPECT_LT(click(button), 2500ms) << button->objectName().toStdString();
    for (const Failure& failure : failures) {
      EXPECT_TRUE(failure.text.contains(QLatin1String("did not answer")) ||
                  failure.text.contains(QLatin1String("not understood")))
          << failure.text.toStdString();
    }
    failures.clear();
  }
  // No reply read "off" in time, so nothing was switched on.
  EXPECT_FALSE(anySwitchedOn(module.log()));
  EXPECT_FALSE(module.relay(0));
  EXPECT_FALSE(module.relay(1));
  expectPanelUsable();

  // Once it answers promptly again, the late answers still on the line mislead no one: the last
  // of them is out a little after two seconds from the last command.
  std::this_thread::sleep_until(module.log().back().at + 2100ms);
  module.setOptions({});
  const std::size_t before = module.log().size();
  click(form1().command5());
  EXPECT_EQ(arrived(module, before, 2), (std::vector<std::string>{"relay read 0", "relay on 0"}));
  EXPECT_TRUE(module.relay(0));
  EXPECT_TRUE(failures.empty()) << failures.front().text.toStdString();
}

// Replies made by the test (the module itself says nothing) to the flash's query.
TEST_F(BadLine, GarbageOrBinaryNoiseForAnAnswerIsRefusedAndNeverSwitchesARelayOn) {
  constexpr int kPort = 3;
  sim::RelayModule module(silent());
  plug(kPort, module);
  openByNumber(kPort, module);

  std::mt19937 random(7);
  std::string binary(700, '\0');
  for (char& c : binary) c = static_cast<char>(random() & 0xff);
  const std::string answers[] = {
      "relay read 0\r\nERROR\r\n>",
      "#$%&garbage, not a state\r\n\r\n",
      binary,
      std::string("\0\0\0\xff\xfe off", 10),
  };
  for (const std::string& answer : answers) {
    const std::size_t before = module.log().size();
    WhenCommands reply(module, before + 1, [&] { module.send(answer); });
    EXPECT_LT(click(form1().command5()), 2500ms);
    ASSERT_TRUE(reply.reached());
    // The query, and a second send of it when nothing complete came back.
    const auto log = arrived(module, before, 1);
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(log.front(), "relay read 0");
    EXPECT_FALSE(anySwitchedOn(module.logSince(before))) << answer;
    EXPECT_LE(form1().text4()->text().toUtf8().size(), 4 * 1024);
    // Refused with a warning; a reply that never ended its line may also count as no answer.
    const QString warning = expectWarning(QStringLiteral("Main Flash"), kPort);
    EXPECT_TRUE(warning.contains(QLatin1String("not understood")) ||
                (answer != answers[0] && warning.contains(QLatin1String("did not answer"))))
        << warning.toStdString();
    expectPanelUsable();
  }
  EXPECT_FALSE(module.relay(0));
}

TEST_F(BadLine, ReplyArrivingOneByteAtATimeIsReadWhole) {
  constexpr int kPort = 4;
  sim::RelayModule module(silent());
  plug(kPort, module);
  openByNumber(kPort, module);

  const std::string reply = "relay read 0\r\noff\r\n>";
  WhenCommands trickle(module, kResetCommands + 1, [&] {
    for (const char c : reply) {
      module.send(std::string(1, c));
      std::this_thread::sleep_for(25ms);
    }
  });
  click(form1().command5());
  ASSERT_TRUE(trickle.reached());
  EXPECT_TRUE(failures.empty());
  // Whole once both lines have ended; the prompt after them is left as a leftover.
  EXPECT_TRUE(form1().text4()->text().startsWith(QStringLiteral("relay read 0\r\noff\r\n")))
      << form1().text4()->text().toStdString();
  EXPECT_EQ(arrived(module, kResetCommands, 2),
            (std::vector<std::string>{"relay read 0", "relay on 0"}));
  EXPECT_EQ(form1().command5()->text(), QStringLiteral("Flash 2"));
}

TEST_F(BadLine, FloodOfMegabytesKeepsMemoryBoundedAndTheQueryWithinItsTime) {
  constexpr int kPort = 5;
  constexpr std::size_t kFlood = 4u << 20;
  auto module = std::make_unique<sim::RelayModule>(silent());
  plug(kPort, *module);
  openByNumber(kPort, *module);
  // Warm up the paths a flood goes through, then measure.
  module->flood(64 * 1024);
  click(form1().command5());
  failures.clear();
  const long residentBefore = residentKiB();

  module->flood(kFlood);
  for (QPushButton* button : {form1().command5(), form1().command6(), form1().command5()}) {
    EXPECT_LT(click(button), 2500ms) << button->objectName().toStdString();
    EXPECT_LE(form1().text4()->text().toUtf8().size(), 2 * 1024);
    for (const Failure& failure : failures) {
      EXPECT_TRUE(failure.text.contains(QLatin1String("not understood")))
          << failure.text.toStdString();
    }
    EXPECT_EQ(failures.size(), 1U);
    failures.clear();
  }
  EXPECT_FALSE(anySwitchedOn(module->log()));
  // Each read takes at most the receive buffer's worth; the rest waits in the system.
  for (int i = 0; i < 50; ++i) {
    std::size_t held = 0;
    form1().service().withSerial(
        [&held](rig::SerialControl& serial) { held = serial.input().size(); });
    EXPECT_LE(held, 1024U);
    std::this_thread::sleep_for(2ms);
  }
  if (kResidentSizeMeaningful) {
    EXPECT_LT(residentKiB() - residentBefore, 2048) << "flood of " << kFlood << " bytes";
  }
  failures.clear();
  expectPanelUsable();

  // Unplugged mid-flood and plugged in again: all is well.
  module->vanish();
  module = std::make_unique<sim::RelayModule>();
  expectFoundAgain(*module, kPort);
}

// ---- the port cannot be had ----

TEST_F(PortRefused, PortHeldByAnotherProgramIsNotFoundWithTheReasonOnTheTooltip) {
  constexpr int kPort = 2;
  sim::RelayModule module;
  plug(kPort, module);
  serial::CommControl other(serial::PortMap(QStringList{link(kPort)}));
  other.setPortOpen(true);

  open(QStringLiteral("2"));
  EXPECT_EQ(status(), QStringLiteral("Port Not Found"));
  EXPECT_TRUE(statusTip().contains(QLatin1String("busy"))) << statusTip().toStdString();
  EXPECT_TRUE(statusTip().contains(link(kPort))) << statusTip().toStdString();
  EXPECT_FALSE(portOpen());
  // The scan passes it by without disturbing its holder.
  open(QStringLiteral("AUTOMATIC"));
  EXPECT_EQ(status(), QStringLiteral("Port Not Found"));
  EXPECT_TRUE(module.log().empty());
  EXPECT_TRUE(failures.empty());

  other.setPortOpen(false);
  openByNumber(kPort, module);
}

TEST_F(PortRefused, FileOrFolderGivenAsAPortIsRefusedAndNothingIsWrittenToIt) {
  const QString file = tempPath(QStringLiteral("notes.txt"));
  const QString folder = tempPath(QStringLiteral("folder"));
  {
    QFile f(file);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
  }
  ASSERT_TRUE(QDir().mkpath(folder));
  useDevices(QStringList{file, folder});

  struct Case {
    const char* choice;
    const char* reasonPart;
  };
  for (const Case c : {Case{"1", "not a serial port"}, Case{"2", "directory"}}) {
    SCOPED_TRACE(c.choice);
    open(QString::fromLatin1(c.choice));
    EXPECT_EQ(status(), QStringLiteral("Port Not Found"));
    EXPECT_TRUE(statusTip().contains(QLatin1String(c.reasonPart))) << statusTip().toStdString();
    EXPECT_FALSE(portOpen());
  }
  open(QStringLiteral("AUTOMATIC"));
  EXPECT_EQ(status(), QStringLiteral("Port Not Found"));
  EXPECT_TRUE(failures.empty());
  EXPECT_EQ(QFileInfo(file).size(), 0);
  EXPECT_TRUE(QFileInfo(folder).isDir());
}

}  // namespace
