// The endpoint end to end: quillmar-cli serve and the panel (offscreen) on the simulated module,
// with clients on the real socket and quillmar-cli as a child process.

#include <gtest/gtest.h>

#include <QComboBox>
#include <QJsonArray>
#include <QLineEdit>
#include <QProcess>
#include <QPushButton>
#include <QTemporaryDir>
#include <memory>
#include <string>
#include <vector>

#include "EndpointClient.h"
#include "serial/CommControl.h"
#include "serial/PortMap.h"
#include "service/LocalEndpoint.h"
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
  auto serve = cli({QStringLiteral("serve"), QStringLiteral("--ports"), device(),
                    QStringLiteral("--port"), QStringLiteral("1")});
  ASSERT_TRUE(spinUntil([&] { return EndpointClient(address()).connected(); }, 10000));
  EndpointClient client(address());
  client.send(
      "{\"action\":\"sequence\"}\n{\"action\":\"open\",\"port\":\"AUTOMATIC\"}\n"
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

  // Opened from the command line: the window shows it.
  auto open = cli({QStringLiteral("-q"), QStringLiteral("open"), QStringLiteral("1")});
  ASSERT_TRUE(finish(*open));
  EXPECT_EQ(open->exitCode(), 0) << open->readAllStandardError().toStdString();
  EXPECT_EQ(window.text3()->text(), QStringLiteral("Port Found and Opened"));
  EXPECT_TRUE(window.command5()->isEnabled());

  // No opening and no reset: only the toggle's own commands reach the module.
  const std::size_t first = module.log().size();
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
  EXPECT_TRUE(window.text3()->toolTip().contains(QStringLiteral("did not answer")))
      << window.text3()->toolTip().toStdString();
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
