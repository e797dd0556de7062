// The endpoint end to end: quillmar-cli serve and the panel (offscreen) on the simulated module,
// with clients on the real socket and quillmar-cli as a child process.

#include <gtest/gtest.h>

#include <QComboBox>
#include <QJsonArray>
#include <QLineEdit>
#include <QProcess>
#include <QPushButton>
#include <QTemporaryDir>
#include <algorithm>
#include <csignal>
#include <memory>
#include <string>
#include <vector>

#include "EndpointClient.h"
#include "endpoint/LocalEndpoint.h"
#include "serial/CommControl.h"
#include "serial/PortMap.h"
#include "sim/RelayModule.h"
#include "support/FailureRecorder.h"
#include "windows/Form1.h"
#include "windows/RemoteControl.h"
#include "windows/Windows.h"

namespace {

using Lines = std::vector<std::string>;

Lines commandsSince(const sim::RelayModule& module, std::size_t first) {
  Lines texts;
  for (const auto& command : module.logSince(first)) texts.push_back(command.text);
  return texts;
}

// The commands from `first` on, once `count` of them have come (the module logs a command a
// moment after the panel has answered for it).
Lines settled(const sim::RelayModule& module, std::size_t first, std::size_t count) {
  module.waitForCommands(first + count, std::chrono::seconds(2));
  return commandsSince(module, first);
}

// The commands an answer says were put on the line.
Lines commandsOf(const QJsonObject& answer) {
  Lines texts;
  for (const QJsonValue sent : answer.value(QStringLiteral("commands")).toArray()) {
    texts.push_back(sent.toObject().value(QStringLiteral("command")).toString().toStdString());
  }
  return texts;
}

const Lines kReset = {"relay off 0", "relay off 1"};
const Lines kPulse = {"relay read 1", "relay on 1", "relay off 1"};
const Lines kFlashOn = {"relay read 0", "relay on 0"};
const Lines kFlashOff = {"relay read 0", "relay off 0"};

Lines concat(std::initializer_list<Lines> parts) {
  Lines all;
  for (const Lines& part : parts) all.insert(all.end(), part.begin(), part.end());
  return all;
}

// Each test has a runtime directory of its own, so no real panel of the user's is reached.
class OnModule : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(runtime.isValid());
    qputenv("XDG_RUNTIME_DIR", runtime.path().toLocal8Bit());
  }
  void TearDown() override { qunsetenv("XDG_RUNTIME_DIR"); }

  QString address() const {
    return service::LocalEndpoint::address(
        QString::fromLatin1(service::LocalEndpoint::kDefaultName));
  }
  QString device() const { return QString::fromStdString(module.devicePath()); }

  // Starts quillmar-cli with `args` (environment included) and returns it running.
  std::unique_ptr<QProcess> cli(const QStringList& args) {
    auto process = std::make_unique<QProcess>();
    process->start(QStringLiteral(QUILLMAR_CLI_PATH), args);
    EXPECT_TRUE(process->waitForStarted(5000));
    return process;
  }
  static bool finish(QProcess& process, int ms = 15000) {
    return spinUntil([&] { return process.state() == QProcess::NotRunning; }, ms);
  }

  QTemporaryDir runtime;
  sim::RelayModule module;
};

TEST_F(OnModule, ServeRunsTwoClientsRequestsInArrivalOrderAndEndsWithTheShutterOff) {
  auto serve = cli({QStringLiteral("serve"), QStringLiteral("--ports"), device(),
                    QStringLiteral("--port"), QStringLiteral("1")});
  // It opens as the panel does, resets, then listens.
  ASSERT_TRUE(module.waitForCommands(2, std::chrono::seconds(5)));
  EXPECT_EQ(commandsSince(module, 0), kReset);
  ASSERT_TRUE(spinUntil([&] { return EndpointClient(address()).connected(); }));

  EndpointClient a(address());
  EndpointClient b(address());
  const std::size_t first = module.log().size();
  a.send("{\"action\":\"shutter\",\"id\":\"a1\"}\n");
  spinFor(50);
  b.send("{\"action\":\"flash\",\"id\":\"b1\"}\n");
  spinFor(50);
  a.send("{\"action\":\"flash\",\"id\":\"a2\"}\n");
  b.send("{\"action\":\"status\",\"id\":\"b2\"}\n");
  const auto fromA = a.take(2);
  const auto fromB = b.take(2);
  ASSERT_EQ(fromA.size(), 2u);
  ASSERT_EQ(fromB.size(), 2u);
  EXPECT_EQ(fromA[0].value(QStringLiteral("id")).toString(), QStringLiteral("a1"));
  EXPECT_EQ(fromA[1].value(QStringLiteral("id")).toString(), QStringLiteral("a2"));
  EXPECT_EQ(fromB[0].value(QStringLiteral("id")).toString(), QStringLiteral("b1"));
  EXPECT_EQ(fromB[1].value(QStringLiteral("id")).toString(), QStringLiteral("b2"));
  // One after the other, in the order they came, each answer telling its own commands.
  EXPECT_EQ(settled(module, first, 7), concat({kPulse, kFlashOn, kFlashOff}));
  EXPECT_EQ(commandsOf(fromA[0]), kPulse);
  EXPECT_EQ(commandsOf(fromB[0]), kFlashOn);
  EXPECT_EQ(commandsOf(fromA[1]), kFlashOff);
  EXPECT_TRUE(
      fromB[1].value(QStringLiteral("state")).toObject().value(QStringLiteral("open")).toBool());

  // A client that leaves in the middle of a pulse: the pulse runs to its end.
  const std::size_t beforePulse = module.log().size();
  {
    EndpointClient leaving(address());
    leaving.send("{\"action\":\"shutter\"}\n");
    ASSERT_TRUE(module.waitForCommands(beforePulse + 2, std::chrono::seconds(3)));
  }
  EXPECT_EQ(settled(module, beforePulse, 3), kPulse);

  const std::size_t beforeStop = module.log().size();
  serve->terminate();
  ASSERT_TRUE(finish(*serve));
  EXPECT_EQ(serve->exitStatus(), QProcess::NormalExit);
  EXPECT_EQ(serve->exitCode(), 0) << serve->readAllStandardError().toStdString();
  EXPECT_EQ(settled(module, beforeStop, 1), Lines{"relay off 1"});
  EXPECT_FALSE(QFileInfo::exists(address())) << "the socket outlived serve";
}

// AUTOMATIC queued behind a sequence runs as soon as the sequence's last command is out, while
// its answer is still on the line.
TEST_F(OnModule, AutomaticQueuedBehindASequenceFindsTheModule) {
  auto options = module.options();
  options.paced = true;
  module.setOptions(options);
  // The shortest pulse and pause: what matters is the sequence's last answer still arriving.
  auto serve = cli({QStringLiteral("serve"), QStringLiteral("--ports"), device(),
                    QStringLiteral("--port"), QStringLiteral("1")});
  ASSERT_TRUE(spinUntil([&] { return EndpointClient(address()).connected(); }, 10000));
  EndpointClient client(address());
  client.send(
      "{\"action\":\"sequence\",\"pulse\":0.05,\"pause\":0.05}\n"
      "{\"action\":\"open\",\"port\":\"AUTOMATIC\"}\n"
      "{\"action\":\"flash\"}\n");
  const auto answers = client.take(3, 15000);
  ASSERT_EQ(answers.size(), 3u);
  EXPECT_TRUE(answers[0].value(QStringLiteral("ok")).toBool());
  EXPECT_TRUE(answers[1].value(QStringLiteral("ok")).toBool())
      << answers[1].value("error").toObject().value("message").toString().toStdString();
  EXPECT_TRUE(answers[2].value(QStringLiteral("ok")).toBool());
  serve->terminate();
  EXPECT_TRUE(finish(*serve));
}

// Stopped while its module is away, serve says it could not command the shutter off, not that
// it did.
TEST_F(OnModule, ServeStoppedWhileThePortIsLostClaimsNoCommand) {
  auto serve = cli({QStringLiteral("serve"), QStringLiteral("--ports"), device(),
                    QStringLiteral("--port"), QStringLiteral("1")});
  ASSERT_TRUE(spinUntil([&] { return EndpointClient(address()).connected(); }, 10000));
  // Its opening's reset has reached the module before the module goes.
  ASSERT_TRUE(module.waitForCommands(2, std::chrono::seconds(5)));
  module.vanish();
  EndpointClient client(address());
  ASSERT_TRUE(spinUntil([&] {
    client.send("{\"action\":\"status\"}\n");
    const auto answers = client.take(1);
    return !answers.empty() && answers[0]
                                       .value(QStringLiteral("state"))
                                       .toObject()
                                       .value(QStringLiteral("status"))
                                       .toString() == QStringLiteral("Port Lost");
  }));
  serve->terminate();
  ASSERT_TRUE(finish(*serve));
  const QString err = QString::fromLocal8Bit(serve->readAllStandardError());
  EXPECT_FALSE(err.contains(QStringLiteral("relay 1 commanded off"))) << err.toStdString();
  EXPECT_TRUE(err.contains(QStringLiteral("could not be commanded off"))) << err.toStdString();
}

// A second serve on a taken name: it exits with its own status before the port is touched, so
// the module hears nothing (a restart loop would reset the rig each time), and names the holder.
TEST_F(OnModule, ServeOnATakenNameSendsNothingAndSaysWhoHoldsIt) {
  auto first = cli({QStringLiteral("serve"), QStringLiteral("--ports"), device(),
                    QStringLiteral("--port"), QStringLiteral("1")});
  ASSERT_TRUE(spinUntil([&] { return EndpointClient(address()).connected(); }, 10000));
  const std::size_t before = settled(module, 0, 2).size();
  auto second = cli({QStringLiteral("serve"), QStringLiteral("--ports"), device(),
                     QStringLiteral("--port"), QStringLiteral("1")});
  ASSERT_TRUE(finish(*second));
  EXPECT_EQ(second->exitCode(), 5);
  const QString err = QString::fromLocal8Bit(second->readAllStandardError());
  EXPECT_TRUE(err.contains(QStringLiteral("quillmar-cli (process %1)").arg(first->processId())))
      << err.toStdString();
  EXPECT_TRUE(err.contains(QStringLiteral("--name"))) << err.toStdString();
  spinFor(200);
  EXPECT_EQ(module.log().size(), before) << "the second serve touched the port";
  // The first still serves.
  EndpointClient client(address());
  client.send("{\"action\":\"status\"}\n");
  EXPECT_EQ(client.take(1).size(), 1u);
  first->terminate();
  EXPECT_TRUE(finish(*first));
}

// Waits until the module has received `text` at or after `first`; its position, or -1.
long waitForCommand(const sim::RelayModule& module, std::size_t first, const std::string& text) {
  long at = -1;
  spinUntil(
      [&] {
        const Lines seen = commandsSince(module, first);
        for (std::size_t i = 0; i < seen.size(); ++i) {
          if (seen[i] == text) at = static_cast<long>(first + i);
        }
        return at >= 0;
      },
      5000);
  return at;
}

QString errorKind(const QJsonObject& answer) {
  return answer.value(QStringLiteral("error")).toObject().value(QStringLiteral("kind")).toString();
}

// A signal in the middle of an action, to serve or to the panel: the action is cut short soundly
// (relay 1 off, the flash as the sequence found it) and answered "stopped" with what ran, the
// request queued behind it is answered "not run" and never runs, and only then does the
// connection close.
class Ending : public OnModule {
 protected:
  // Sends `action`, then a flash queued behind it, signals `program` once the module has
  // received `signalAfter`, and returns both answers.
  std::vector<QJsonObject> interrupt(QProcess& program, const QByteArray& action,
                                     const std::string& signalAfter, int signal) {
    const std::size_t first = module.log().size();
    EndpointClient running(address());
    EndpointClient queued(address());
    // Both taken in by the program before anything runs: a connection it has not yet accepted
    // when the signal comes is closed unanswered, which is not what is tested here.
    for (EndpointClient* client : {&running, &queued}) {
      client->send("{\"action\":\"status\"}\n");
      EXPECT_EQ(client->take(1).size(), 1u) << "no answer to a status before the action";
    }
    running.send("{\"action\":\"" + action + "\",\"id\":1}\n");
    EXPECT_GE(waitForCommand(module, first, "relay on 1"), 0);
    queued.send("{\"action\":\"flash\",\"id\":2}\n");
    EXPECT_GE(waitForCommand(module, first, signalAfter), 0);
    ::kill(static_cast<pid_t>(program.processId()), signal);
    std::vector<QJsonObject> answers = running.take(1);
    const auto other = queued.take(1);
    answers.insert(answers.end(), other.begin(), other.end());
    EXPECT_TRUE(finish(program));
    EXPECT_EQ(program.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(program.exitCode(), 0) << program.readAllStandardError().toStdString();
    // The module reads the line on a thread of its own: the program's last command may still be
    // on its way to it when the program has ended.
    EXPECT_TRUE(spinUntil([&] { return !module.relay(1); }, 2000)) << "the shutter was left open";
    return answers;
  }
};

TEST_F(Ending, ServeStopsTheRunningSequenceSoundlyAnswersItAndRunsNothingQueued) {
  auto serve = cli({QStringLiteral("serve"), QStringLiteral("--ports"), device(),
                    QStringLiteral("--port"), QStringLiteral("1")});
  ASSERT_TRUE(spinUntil([&] { return EndpointClient(address()).connected(); }, 10000));
  ASSERT_FALSE(module.relay(0));
  // What follows its opening's reset.
  const std::size_t first = settled(module, 0, 2).size();
  const auto answers = interrupt(*serve, "sequence", "relay on 0", SIGTERM);
  ASSERT_EQ(answers.size(), 2u) << "an answer was lost when the socket closed";
  EXPECT_EQ(errorKind(answers[0]), QStringLiteral("stopped"));
  EXPECT_EQ(commandsOf(answers[0]).back(), "relay off 0") << "the flash was not switched back";
  EXPECT_EQ(errorKind(answers[1]), QStringLiteral("not-run"));
  EXPECT_FALSE(module.relay(0));
  // The queued flash never reached the module: after the flash went back off, only relay 1.
  const Lines after = commandsSince(module, first);
  const auto back = std::find(after.begin(), after.end(), "relay off 0");
  ASSERT_NE(back, after.end());
  for (auto it = back + 1; it != after.end(); ++it) EXPECT_EQ(*it, "relay off 1");
}

TEST_F(Ending, ThePanelEndsOnEachSignalAsServeDoes) {
  for (const int signal : {SIGTERM, SIGHUP, SIGINT}) {
    SCOPED_TRACE(signal);
    QProcess panel;
    panel.start(QStringLiteral(QUILLMAR_PANEL_PATH),
                {QStringLiteral("-platform"), QStringLiteral("offscreen"),
                 QStringLiteral("--ports"), device()});
    ASSERT_TRUE(spinUntil([&] { return EndpointClient(address()).connected(); }, 10000));
    EndpointClient opener(address());
    opener.send("{\"action\":\"open\",\"port\":1}\n");
    ASSERT_EQ(opener.take(1).size(), 1u);
    const auto answers = interrupt(panel, "shutter", "relay on 1", signal);
    ASSERT_EQ(answers.size(), 2u);
    EXPECT_EQ(errorKind(answers[0]), QStringLiteral("stopped"));
    EXPECT_EQ(commandsOf(answers[0]).back(), "relay off 1");
    EXPECT_EQ(errorKind(answers[1]), QStringLiteral("not-run"));
    EXPECT_FALSE(module.relay(0)) << "the queued flash ran";
  }
}

// A request whose client goes away before it starts never runs: a closed socket, the CLI's
// Ctrl-C. One that has started runs to its end, and the CLI says which it was.
TEST_F(OnModule, WithdrawnRequestsNeverRunAndStartedOnesRunToTheirEnd) {
  auto serve = cli({QStringLiteral("serve"), QStringLiteral("--ports"), device(),
                    QStringLiteral("--port"), QStringLiteral("1")});
  ASSERT_TRUE(spinUntil([&] { return EndpointClient(address()).connected(); }, 10000));
  const Lines sequence = {"relay read 1", "relay on 1",   "relay off 1", "relay read 0",
                          "relay on 0",   "relay read 1", "relay on 1",  "relay off 1",
                          "relay read 0", "relay off 0"};

  // Behind another client's sequence: one client closes its socket, a CLI is stopped by Ctrl-C.
  std::size_t first = settled(module, 0, 2).size();
  EndpointClient running(address());
  running.send("{\"action\":\"sequence\"}\n");
  ASSERT_GE(waitForCommand(module, first, "relay on 1"), 0);
  {
    EndpointClient leaving(address());
    leaving.send("{\"action\":\"shutter\"}\n");
  }
  auto waiting = cli({QStringLiteral("sequence")});
  spinFor(500);
  ::kill(static_cast<pid_t>(waiting->processId()), SIGINT);
  ASSERT_TRUE(finish(*waiting));
  EXPECT_EQ(waiting->exitCode(), 130);
  const QString notRun = QString::fromLocal8Bit(waiting->readAllStandardError());
  EXPECT_TRUE(notRun.contains(QStringLiteral("sequence not run"))) << notRun.toStdString();
  ASSERT_EQ(running.take(1).size(), 1u);
  running.send("{\"action\":\"status\"}\n");
  ASSERT_EQ(running.take(1).size(), 1u);
  EXPECT_EQ(commandsSince(module, first), sequence) << "a withdrawn request ran";

  // Stopped once its sequence has started: it runs to its end, and the CLI says so.
  first = module.log().size();
  auto started = cli({QStringLiteral("sequence")});
  ASSERT_GE(waitForCommand(module, first, "relay on 0"), 0);
  ::kill(static_cast<pid_t>(started->processId()), SIGINT);
  ASSERT_TRUE(finish(*started));
  EXPECT_EQ(started->exitCode(), 130);
  const QString ran = QString::fromLocal8Bit(started->readAllStandardError());
  EXPECT_TRUE(ran.contains(QStringLiteral("after it had started"))) << ran.toStdString();
  EXPECT_TRUE(ran.contains(QStringLiteral("sent: relay off 0"))) << ran.toStdString();
  EXPECT_EQ(settled(module, first, sequence.size()), sequence);
  serve->terminate();
  EXPECT_TRUE(finish(*serve));
}

class PanelOnModule : public OnModule {
 protected:
  void SetUp() override {
    OnModule::SetUp();
    setSerialFactory(
        [map = serial::PortMap({device()})] { return std::make_unique<serial::CommControl>(map); });
  }
  void TearDown() override {
    destroyWindows();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    setSerialFactory(nullptr);
    OnModule::TearDown();
  }

  // The panel as started by the program: its window, and its endpoint listening.
  Form1& openPanel() {
    Form1& window = form1();
    window.show();
    EXPECT_TRUE(startRemoteControl(window, QStringLiteral("quillmar"))->isListening());
    return window;
  }

  std::vector<Failure> warnings;
  FailureRecorder recorder{warnings};
};

TEST_F(PanelOnModule, TheCliGoesThroughTheRunningPanelWithoutOpeningOrResetting) {
  Form1& window = openPanel();
  auto status = cli({QStringLiteral("status")});
  ASSERT_TRUE(finish(*status));
  EXPECT_EQ(status->exitCode(), 0);
  const QString closed = QString::fromUtf8(status->readAllStandardOutput());
  EXPECT_TRUE(closed.contains(QStringLiteral("open: false\n"))) << closed.toStdString();
  EXPECT_TRUE(closed.contains(QStringLiteral("status: Port Status\n"))) << closed.toStdString();
  // Beside the captions, the values a script tests.
  for (const char* line : {"link: closed\n", "relays.flash: unknown\n", "relays.shutter: off\n"}) {
    EXPECT_TRUE(closed.contains(QLatin1String(line))) << line << closed.toStdString();
  }

  // A port without a device, opened through the panel: "Port Not Found", as a direct run says it.
  auto missing = cli({QStringLiteral("-q"), QStringLiteral("open"), QStringLiteral("2")});
  ASSERT_TRUE(finish(*missing));
  EXPECT_EQ(missing->exitCode(), 2);
  const QString notFound = QString::fromLocal8Bit(missing->readAllStandardError());
  EXPECT_TRUE(notFound.contains(QStringLiteral("port not found: "))) << notFound.toStdString();
  EXPECT_EQ(window.text3()->text(), QStringLiteral("Port Not Found"));

  // Opened from the command line: the window shows it.
  const std::size_t beforeOpen = module.log().size();
  auto open = cli({QStringLiteral("-q"), QStringLiteral("open"), QStringLiteral("1")});
  ASSERT_TRUE(finish(*open));
  EXPECT_EQ(open->exitCode(), 0) << open->readAllStandardError().toStdString();
  EXPECT_EQ(window.text3()->text(), QStringLiteral("Port Found and Opened"));
  EXPECT_TRUE(window.command5()->isEnabled());
  EXPECT_EQ(settled(module, beforeOpen, 2), (Lines{"relay off 0", "relay off 1"}));

  // No opening and no reset: only the toggle's own commands reach the module.
  const std::size_t first = beforeOpen + 2;
  auto flash = cli({QStringLiteral("flash")});
  ASSERT_TRUE(finish(*flash));
  EXPECT_EQ(flash->exitCode(), 0) << flash->readAllStandardError().toStdString();
  EXPECT_EQ(settled(module, first, 2), kFlashOn);
  EXPECT_TRUE(spinUntil([&] { return window.command5()->text() == QStringLiteral("Flash 2"); }));

  // --json: the answer, one line.
  auto json = cli({QStringLiteral("--json"), QStringLiteral("flash")});
  ASSERT_TRUE(finish(*json));
  const QJsonObject answer = QJsonDocument::fromJson(json->readAllStandardOutput()).object();
  EXPECT_TRUE(answer.value(QStringLiteral("ok")).toBool());
  EXPECT_EQ(commandsOf(answer), kFlashOff);

  // A failed remote request: the client's exit status, the status box's tooltip, no warning.
  module.setOptions([&] {
    auto options = module.options();
    options.silent = true;
    return options;
  }());
  auto failing = cli({QStringLiteral("shutter")});
  ASSERT_TRUE(finish(*failing));
  EXPECT_EQ(failing->exitCode(), 3) << failing->readAllStandardError().toStdString();
  EXPECT_TRUE(spinUntil([&] {
    return window.text3()->toolTip().contains(QStringLiteral("did not answer"));
  })) << window.text3()->toolTip().toStdString();
  // A failed flash too: the tooltip keeps the device and tells why under it.
  auto failingFlash = cli({QStringLiteral("flash")});
  ASSERT_TRUE(finish(*failingFlash));
  EXPECT_EQ(failingFlash->exitCode(), 3);
  EXPECT_TRUE(spinUntil([&] {
    return window.text3()->toolTip().contains(QStringLiteral("Main Flash failed")) &&
           window.text3()->toolTip().contains(QStringLiteral("did not answer"));
  })) << window.text3()->toolTip().toStdString();
  EXPECT_TRUE(warnings.empty());
  EXPECT_FALSE(module.relay(1));
}

TEST_F(PanelOnModule, AClickAndTwoClientsRunOneAfterTheOtherInTheirOrder) {
  Form1& window = openPanel();
  window.combo1()->setEditText(QStringLiteral("1"));
  window.command1()->click();
  ASSERT_TRUE(
      spinUntil([&] { return window.command6()->isEnabled() && module.log().size() == 2; }));
  spinFor(50);

  EndpointClient a(address());
  EndpointClient b(address());
  const std::size_t first = module.log().size();
  a.send("{\"action\":\"shutter\",\"id\":1}\n");
  spinFor(50);
  window.command5()->click();  // taken while the pulse runs: it runs after it
  b.send("{\"action\":\"shutter\",\"id\":2}\n");
  spinFor(50);
  a.send("{\"action\":\"flash\",\"id\":3}\n");
  ASSERT_EQ(a.take(2).size(), 2u);
  ASSERT_EQ(b.take(1).size(), 1u);
  EXPECT_EQ(settled(module, first, 10), concat({kPulse, kFlashOn, kPulse, kFlashOff}));
  EXPECT_TRUE(warnings.empty());
}

TEST_F(PanelOnModule, ASecondPanelOnANameInUseWorksWithItsEndpointOff) {
  openPanel();
  Form1 second(
      [map = serial::PortMap({device()})] { return std::make_unique<serial::CommControl>(map); });
  EXPECT_FALSE(startRemoteControl(second, QStringLiteral("quillmar"))->isListening());
  EXPECT_TRUE(second.text3()->toolTip().startsWith(QStringLiteral("Remote control is off")));
  // The first still answers, and the second still opens its port.
  EndpointClient client(address());
  client.send("{\"action\":\"status\"}\n");
  EXPECT_EQ(client.take(1).size(), 1u);
  second.combo1()->setEditText(QStringLiteral("1"));
  second.command1()->click();
  EXPECT_TRUE(spinUntil([&] { return second.command5()->isEnabled(); }));
}

}  // namespace
