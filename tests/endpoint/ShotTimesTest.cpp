// Shots with times of their own, series run by serve on the simulated module, their stop, and
// the journal, through the real socket.

#include <gtest/gtest.h>

#include <QFile>
#include <QJsonArray>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "EndpointClient.h"
#include "endpoint/LocalEndpoint.h"
#include "sim/RelayModule.h"
#include "support/ModuleLog.h"

namespace {

using namespace std::chrono_literals;

class ServeOnModule : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(runtime.isValid());
    qputenv("XDG_RUNTIME_DIR", runtime.path().toLocal8Bit());
  }
  void TearDown() override {
    if (serve_) {
      serve_->terminate();
      serve_->waitForFinished(10000);
    }
    qunsetenv("XDG_RUNTIME_DIR");
  }

  QString address() const {
    return service::LocalEndpoint::address(
        QString::fromLatin1(service::LocalEndpoint::kDefaultName));
  }

  // Starts serve on the module, with `more` arguments, and waits until it listens.
  void startServe(const QStringList& more = {}) {
    const std::size_t before = module.log().size();
    serve_ = std::make_unique<QProcess>();
    serve_->start(QStringLiteral(QUILLMAR_CLI_PATH),
                  QStringList{QStringLiteral("serve"), QStringLiteral("--ports"),
                              QString::fromStdString(module.devicePath()), QStringLiteral("--port"),
                              QStringLiteral("1")} +
                      more);
    ASSERT_TRUE(serve_->waitForStarted(5000));
    // Its opening's reset reached the module, and it listens.
    ASSERT_TRUE(module.waitForCommands(before + 2, 5s));
    ASSERT_TRUE(spinUntil([&] { return EndpointClient(address()).connected(); }));
  }

  // The log from `first` on once `count` commands have come.
  std::vector<sim::Command> settled(std::size_t first, std::size_t count) const {
    module.waitForCommands(first + count, 10s);
    return module.logSince(first);
  }

  QTemporaryDir runtime;
  sim::RelayModule module;
  std::unique_ptr<QProcess> serve_;
};

TEST_F(ServeOnModule, ALongPulseIsHeldAtTheModuleAndEndedOffByTheRigWhenItsClientIsGone) {
  startServe();
  const std::size_t first = module.log().size();
  {
    EndpointClient leaving(address());
    leaving.send(R"({"action":"shutter","pulse":2})"
                 "\n");
    ASSERT_TRUE(module.waitForCommands(first + 2, 3s));
  }
  const auto log = settled(first, 3);
  ASSERT_EQ(log.size(), 3u);
  EXPECT_EQ(log[1].text, "relay on 1");
  EXPECT_EQ(log[2].text, "relay off 1");
  EXPECT_GE(secondsBetween(log[1], log[2]), 2.0 - kModuleWakeUpSeconds);
  EXPECT_FALSE(module.relay(1));

  // A series of pulses whose client leaves after the first: every pulse still ends off.
  const std::size_t series = module.log().size();
  {
    EndpointClient leaving(address());
    leaving.send(R"({"action":"shutter","pulse":0.1,"repeat":4,"interval":0.3})"
                 "\n");
    ASSERT_TRUE(module.waitForCommands(series + 3, 3s));
  }
  const auto pulses = settled(series, 12);
  ASSERT_EQ(pulses.size(), 12u);
  for (std::size_t i = 0; i < pulses.size(); i += 3) {
    EXPECT_EQ(pulses[i + 1].text, "relay on 1");
    EXPECT_EQ(pulses[i + 2].text, "relay off 1");
    EXPECT_GE(secondsBetween(pulses[i + 1], pulses[i + 2]), 0.1 - kModuleWakeUpSeconds);
  }
  EXPECT_FALSE(module.relay(1));
}

TEST_F(ServeOnModule, AStopEndsTheSeriesAfterItsStepAndWhatIsQueuedRunsAfterwards) {
  startServe();
  EndpointClient client(address());
  const std::size_t first = module.log().size();
  client.send(R"({"action":"sequence","pulse":0.1,"pause":0.2,"repeat":10,"id":"s"})"
              "\n");
  client.send(R"({"action":"flash","id":"after"})"
              "\n");
  // Shot 2 has switched the flash on: the stop comes in the pause after it.
  ASSERT_TRUE(module.waitForCommands(first + 15, 10s));
  ASSERT_EQ(module.log()[first + 14].text, "relay on 0");
  EndpointClient stopper(address());
  // A status is answered from the state while the series runs, not after it.
  stopper.send(R"({"action":"status"})"
               "\n"
               R"({"action":"stop","id":"halt"})"
               "\n");
  auto stopped = stopper.take(2);
  ASSERT_EQ(stopped.size(), 2u);
  const QJsonObject running = stopped[0][QStringLiteral("state")].toObject();
  EXPECT_TRUE(running[QStringLiteral("busy")].toBool());
  EXPECT_TRUE(running[QStringLiteral("series")].toString().startsWith(QStringLiteral("shot ")));
  stopped.erase(stopped.begin());
  EXPECT_TRUE(stopped[0].value(QStringLiteral("ok")).toBool());
  EXPECT_TRUE(stopped[0].value(QStringLiteral("stopped")).toBool());

  const auto answers = client.take(2);
  ASSERT_EQ(answers.size(), 2u);
  const QJsonObject& series = answers[0];
  EXPECT_TRUE(series.value(QStringLiteral("ok")).toBool());
  EXPECT_TRUE(series.value(QStringLiteral("stopped")).toBool());
  EXPECT_EQ(series.value(QStringLiteral("shots")).toArray().size(), 2);
  // Shot 2 ends soundly: the shutter off and the flash back off; then the queued flash.
  std::vector<std::string> rest;
  // The module logs the last of them a moment after serve has answered for it.
  for (const auto& command : settled(first + 15, 4)) rest.push_back(command.text);
  EXPECT_EQ(rest,
            (std::vector<std::string>{"relay off 1", "relay off 0", "relay read 0", "relay on 0"}));
  EXPECT_EQ(answers[1].value(QStringLiteral("id")).toString(), QStringLiteral("after"));
  EXPECT_TRUE(answers[1].value(QStringLiteral("ok")).toBool());

  // With nothing running, a stop stops nothing.
  stopper.send(R"({"action":"stop"})"
               "\n");
  const auto idle = stopper.take(1);
  ASSERT_EQ(idle.size(), 1u);
  EXPECT_FALSE(idle[0].value(QStringLiteral("stopped")).toBool());
}

TEST_F(ServeOnModule, TheJournalHasALineForEachRequestAndAFullDiskLeavesTheRigGoing) {
  QTemporaryDir files;
  const QString path = files.filePath(QStringLiteral("shots.jsonl"));
  startServe({QStringLiteral("--journal"), path});
  EndpointClient client(address());
  client.send(R"({"action":"shutter","pulse":0.05,"repeat":3,"interval":0.2,"id":7})"
              "\n"
              R"({"action":"flash","id":"f"})"
              "\n");
  ASSERT_EQ(client.take(2).size(), 2u);
  serve_->terminate();
  ASSERT_TRUE(serve_->waitForFinished(10000));
  serve_.reset();

  QFile journal(path);
  ASSERT_TRUE(journal.open(QIODevice::ReadOnly));
  const QList<QByteArray> lines = journal.readAll().split('\n');
  // The opening, the series, the flash, and the empty end after the last line end.
  ASSERT_EQ(lines.size(), 4);
  EXPECT_TRUE(lines.back().isEmpty());
  const QJsonObject opening = QJsonDocument::fromJson(lines[0]).object();
  EXPECT_EQ(opening.value(QStringLiteral("channel")).toString(), QStringLiteral("command-line"));
  const QJsonObject series = QJsonDocument::fromJson(lines[1]).object();
  EXPECT_EQ(series.value(QStringLiteral("channel")).toString(), QStringLiteral("socket"));
  EXPECT_EQ(series.value(QStringLiteral("id")).toInt(), 7);
  EXPECT_EQ(series.value(QStringLiteral("action")).toString(), QStringLiteral("shutter"));
  EXPECT_EQ(series.value(QStringLiteral("pulse")).toDouble(), 0.05);
  EXPECT_EQ(series.value(QStringLiteral("repeat")).toInt(), 3);
  EXPECT_TRUE(series.value(QStringLiteral("ok")).toBool());
  EXPECT_EQ(series.value(QStringLiteral("commands")).toArray().size(), 9);
  EXPECT_EQ(series.value(QStringLiteral("shots")).toArray().size(), 3);
  // Local time to the microsecond, with its offset: 2026-12-07T19:20:01.123456+01:00.
  EXPECT_TRUE(
      QRegularExpression(QStringLiteral(R"(^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{6}[+-]\d\d:\d\d$)"))
          .match(series.value(QStringLiteral("time")).toString())
          .hasMatch())
      << series.value(QStringLiteral("time")).toString().toStdString();
  EXPECT_EQ(QJsonDocument::fromJson(lines[2]).object().value(QStringLiteral("id")).toString(),
            QStringLiteral("f"));

  // A journal on a full disk: said once, and every request still runs.
  startServe({QStringLiteral("--journal"), QStringLiteral("/dev/full")});
  EndpointClient again(address());
  again.send(R"({"action":"shutter","pulse":0.05,"repeat":2})"
             "\n");
  const auto shot = again.take(1);
  ASSERT_EQ(shot.size(), 1u);
  EXPECT_TRUE(shot[0].value(QStringLiteral("ok")).toBool());
  // The journal is written on a thread of its own: its failure is in the tooltip of every report
  // made once the write has failed.
  EXPECT_TRUE(spinUntil([&] {
    again.send(R"({"action":"status"})"
               "\n");
    const auto status = again.take(1);
    return !status.empty() && status[0]
                                      .value(QStringLiteral("state"))
                                      .toObject()
                                      .value(QStringLiteral("statusTip"))
                                      .toString()
                                      .indexOf(QStringLiteral("journal cannot be written")) != -1;
  })) << "the journal's failure is not in the status box's tooltip";
  serve_->terminate();
  ASSERT_TRUE(serve_->waitForFinished(10000));
  const QString err = QString::fromLocal8Bit(serve_->readAllStandardError());
  serve_.reset();
  EXPECT_EQ(err.count(QStringLiteral("journal cannot be written")), 1) << err.toStdString();
}

}  // namespace

TEST_F(ServeOnModule, AnIntervalShorterThanAShotOnTheLineIsAnsweredWithTheSpacingReallyUsed) {
  startServe();
  EndpointClient client(address());
  client.send(R"({"action":"shutter","pulse":0.05,"repeat":3,"interval":0.05})"
              "\n"
              R"({"action":"shutter","pulse":0.05,"repeat":2,"interval":0.5})"
              "\n");
  const auto answers = client.take(2);
  ASSERT_EQ(answers.size(), 2u);
  const QJsonArray shots = answers[0][QStringLiteral("shots")].toArray();
  ASSERT_EQ(shots.size(), 3);
  // Each shot's query and two commands take the line longer than the interval asked.
  const double spacing = answers[0][QStringLiteral("spacing")].toDouble();
  EXPECT_GT(spacing, 0.05);
  EXPECT_NEAR(
      spacing,
      std::max(shots[1][QStringLiteral("t")].toDouble() - shots[0][QStringLiteral("t")].toDouble(),
               shots[2][QStringLiteral("t")].toDouble() - shots[1][QStringLiteral("t")].toDouble()),
      1e-5);
  EXPECT_FALSE(answers[1].contains(QStringLiteral("spacing"))) << "an interval that was kept";
}
