// A rig of eight cameras described by a rig file, end to end: quillmar-cli serve on a simulated
// 32-relay module, requests on the real socket, every line checked on the module.

#include <gtest/gtest.h>

#include <QDateTime>
#include <QFile>
#include <QJsonArray>
#include <QProcess>
#include <QTemporaryDir>
#include <csignal>
#include <memory>
#include <string>
#include <vector>

#include "EndpointClient.h"
#include "endpoint/LocalEndpoint.h"
#include "sim/RelayModule.h"

namespace {

// Camera n (1 to 8) half-presses on relay 2n-2 and fires on relay 2n-1; the flash is relay 16.
QByteArray eightCameras() {
  QByteArray text =
      "[timings]\nfocus_ms = 100\npulse_ms = 200\npause_ms = 100\n"
      "[boards.ring]\nboard = \"text-id:RING8\"\nrelays = 32\n";
  for (int n = 1; n <= 8; ++n) {
    text +=
        QStringLiteral("[[cameras]]\nname = \"c%1\"\nfocus = \"ring:%2\"\nshutter = \"ring:%3\"\n")
            .arg(n)
            .arg(2 * n - 2)
            .arg(2 * n - 1)
            .toUtf8();
  }
  return text + "[[flashes]]\nname = \"key\"\nline = \"ring:16\"\n";
}

std::vector<std::string> commandsOf(const QJsonObject& answer) {
  std::vector<std::string> texts;
  for (const QJsonValue sent : answer.value(QStringLiteral("commands")).toArray()) {
    texts.push_back(sent.toObject().value(QStringLiteral("command")).toString().toStdString());
  }
  return texts;
}

QString errorKind(const QJsonObject& answer) {
  return answer.value(QStringLiteral("error")).toObject().value(QStringLiteral("kind")).toString();
}

class DescribedRig : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(runtime.isValid());
    qputenv("XDG_RUNTIME_DIR", runtime.path().toLocal8Bit());
    QFile file(rigFile());
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(eightCameras());
  }
  void TearDown() override {
    if (serve && serve->state() != QProcess::NotRunning) {
      serve->kill();
      serve->waitForFinished(5000);
    }
    qunsetenv("XDG_RUNTIME_DIR");
  }

  QString rigFile() const { return runtime.filePath(QStringLiteral("rig.toml")); }
  QString address() const {
    return service::LocalEndpoint::address(
        QString::fromLatin1(service::LocalEndpoint::kDefaultName));
  }
  void startServe(const QString& file) {
    serve = std::make_unique<QProcess>();
    serve->start(QStringLiteral(QUILLMAR_CLI_PATH),
                 {QStringLiteral("serve"), QStringLiteral("--rig-file"), file,
                  QStringLiteral("--ports"), QString::fromStdString(module.devicePath())});
    ASSERT_TRUE(serve->waitForStarted(5000));
  }
  // The module takes in the last command a moment after the answer has come: whether every
  // camera line is off once it has.
  bool allOffSoon() const {
    return spinUntil([this] { return !anyLineOn(); }, 2000);
  }
  // The commands logged, once none has come for a moment.
  std::size_t settledLog() const {
    std::size_t size = module.log().size();
    for (;;) {
      spinFor(150);
      if (module.log().size() == size) return size;
      size = module.log().size();
    }
  }
  bool anyLineOn() const {
    for (int relay = 0; relay < 16; ++relay) {
      if (module.relay(relay)) return true;
    }
    return false;
  }

  QTemporaryDir runtime;
  sim::RelayModule module{[] {
    sim::Options options;
    options.identification = "RING8";
    options.relays = 32;
    return options;
  }()};
  std::unique_ptr<QProcess> serve;
};

TEST_F(DescribedRig, EightCamerasFireTogetherAfterTheirFocusAndOnlyTheCamerasNamed) {
  startServe(rigFile());
  ASSERT_TRUE(spinUntil([&] { return EndpointClient(address()).connected(); }, 10000));
  EndpointClient client(address());

  // Every camera: the focus lines first, then every shutter with one command, then all released.
  const std::size_t first = module.log().size();
  client.send("{\"action\":\"shutter\",\"id\":1}\n");
  const auto all = client.take(1);
  ASSERT_EQ(all.size(), 1u);
  EXPECT_TRUE(all[0].value(QStringLiteral("ok")).toBool())
      << all[0].value("error").toObject()["message"].toString().toStdString();
  bool together = false;
  for (const sim::Command& command : module.logSince(first)) {
    together = together || command.text == "relay writeall 0000FFFF";
  }
  EXPECT_TRUE(together) << "the eight shutters did not close with one command";
  const std::vector<std::string> lines = commandsOf(all[0]);
  ASSERT_EQ(lines.size(), 32u) << "each camera's focus and shutter, on and off";
  EXPECT_EQ(lines.front().substr(0, 14), "camera c1 focu");
  EXPECT_TRUE(allOffSoon());

  // Two cameras by name: only their lines.
  client.send("{\"action\":\"shutter\",\"cameras\":[\"c2\",\"c7\"]}\n");
  const auto two = client.take(1);
  ASSERT_EQ(two.size(), 1u);
  EXPECT_TRUE(two[0].value(QStringLiteral("ok")).toBool());
  for (const std::string& line : commandsOf(two[0])) {
    EXPECT_TRUE(line.starts_with("camera c2 ") || line.starts_with("camera c7 ")) << line;
  }
  EXPECT_EQ(commandsOf(two[0]).size(), 8u);

  // A camera the rig does not have: refused before anything is switched.
  const std::size_t beforeUnknown = settledLog();
  client.send("{\"action\":\"shutter\",\"cameras\":[\"c9\"]}\n");
  const auto unknown = client.take(1);
  ASSERT_EQ(unknown.size(), 1u);
  EXPECT_FALSE(unknown[0].value(QStringLiteral("ok")).toBool());
  EXPECT_EQ(errorKind(unknown[0]), QStringLiteral("bad-request")) << "the caller's mistake";
  EXPECT_TRUE(commandsOf(unknown[0]).empty());
  spinFor(100);
  EXPECT_EQ(module.log().size(), beforeUnknown);

  // The flash, and the state naming every line.
  client.send("{\"action\":\"flash\"}\n");
  const auto flashed = client.take(1);
  ASSERT_EQ(flashed.size(), 1u);
  EXPECT_TRUE(spinUntil([this] { return module.relay(16); }, 2000));
  const QJsonObject state = flashed[0].value(QStringLiteral("state")).toObject();
  const QJsonArray cameras = state.value(QStringLiteral("cameras")).toArray();
  ASSERT_EQ(cameras.size(), 8);
  EXPECT_EQ(cameras[7].toObject().value(QStringLiteral("name")).toString(), QStringLiteral("c8"));
  EXPECT_EQ(cameras[7].toObject().value(QStringLiteral("focus")).toString(), QStringLiteral("off"));
  const QJsonArray flashes = state.value(QStringLiteral("flashes")).toArray();
  ASSERT_EQ(flashes.size(), 1);
  EXPECT_EQ(flashes[0].toObject().value(QStringLiteral("line")).toString(), QStringLiteral("on"));
  // The rig is on its boards, named as the file names them, not on a port of its own.
  EXPECT_FALSE(state.contains(QStringLiteral("port")) || state.contains(QStringLiteral("device")));
  EXPECT_EQ(state.value(QStringLiteral("boards")).toArray(),
            QJsonArray({QJsonObject{{"name", "ring"},
                                    {"board", "text-id:RING8"},
                                    {"kind", "text-id"},
                                    {"device", QString::fromStdString(module.devicePath())},
                                    {"link", "open"}}}));

  // An armed shot: its time in every state while it waits.
  const double now = static_cast<double>(QDateTime::currentMSecsSinceEpoch()) / 1000;
  client.send(QStringLiteral("{\"action\":\"shutter\",\"at\":%1,\"clock\":\"local\"}\n")
                  .arg(now + 3, 0, 'f', 3)
                  .toUtf8());
  EndpointClient asker(address());
  bool shown = false;
  for (int i = 0; i < 20 && !shown; ++i) {
    asker.send("{\"action\":\"status\"}\n");
    const auto status = asker.take(1);
    ASSERT_EQ(status.size(), 1u);
    shown = status[0].value(QStringLiteral("state")).toObject().contains(QStringLiteral("armedAt"));
    if (!shown) spinFor(50);
  }
  EXPECT_TRUE(shown) << "no armedAt while the shot waits";
  client.send("{\"action\":\"disarm\"}\n");
  const auto disarmed = client.take(2);
  ASSERT_EQ(disarmed.size(), 2u);
}

// A bulb exposure of ten minutes ends at once, every line released, on a stop and on a signal.
TEST_F(DescribedRig, EveryEndingOfABulbReleasesEveryCameraLine) {
  startServe(rigFile());
  ASSERT_TRUE(spinUntil([&] { return EndpointClient(address()).connected(); }, 10000));
  EndpointClient client(address());
  EndpointClient other(address());

  client.send("{\"action\":\"shutter\",\"pulse\":600}\n");
  ASSERT_TRUE(spinUntil([&] { return module.relay(15); }, 3000)) << "the bulb never opened";
  other.send("{\"action\":\"stop\"}\n");
  const auto stopped = client.take(1, 3000);
  ASSERT_EQ(stopped.size(), 1u) << "the stop did not end the bulb";
  EXPECT_TRUE(stopped[0].value(QStringLiteral("stopped")).toBool());
  EXPECT_TRUE(allOffSoon());

  client.send("{\"action\":\"shutter\",\"pulse\":600}\n");
  ASSERT_TRUE(spinUntil([&] { return module.relay(15); }, 3000));
  ::kill(static_cast<pid_t>(serve->processId()), SIGTERM);
  const auto ended = client.take(1, 5000);
  ASSERT_EQ(ended.size(), 1u);
  EXPECT_EQ(errorKind(ended[0]), QStringLiteral("stopped"));
  ASSERT_TRUE(spinUntil([&] { return serve->state() == QProcess::NotRunning; }, 10000));
  EXPECT_EQ(serve->exitCode(), 0);
  EXPECT_TRUE(allOffSoon()) << "a camera line was left on";
}

// A second flash, "fill" on relay 17: the command line toggles one by its name through serve,
// and the other's line is never touched; a name the rig lacks is refused naming its flashes.
TEST_F(DescribedRig, AFlashNamedAloneIsToggledAndAnUnknownOneIsRefusedNamingTheFlashes) {
  QFile file(rigFile());
  ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Append));
  file.write("[[flashes]]\nname = \"fill\"\nline = \"ring:17\"\n");
  file.close();
  startServe(rigFile());
  ASSERT_TRUE(spinUntil([&] { return EndpointClient(address()).connected(); }, 10000));
  const std::size_t opened = settledLog();

  QProcess cli;
  cli.start(QStringLiteral(QUILLMAR_CLI_PATH),
            {QStringLiteral("flash"), QStringLiteral("--flash"), QStringLiteral("fill")});
  ASSERT_TRUE(cli.waitForFinished(10000));
  EXPECT_EQ(cli.exitCode(), 0) << cli.readAllStandardError().toStdString();
  EXPECT_TRUE(spinUntil([this] { return module.relay(17); }, 2000)) << "fill was not switched";
  EXPECT_FALSE(module.relay(16)) << "key was switched";
  for (const sim::Command& command : module.logSince(opened)) {
    EXPECT_EQ(command.text.find(" 16"), std::string::npos) << command.text;
  }

  EndpointClient client(address());
  const std::size_t before = settledLog();
  client.send("{\"action\":\"flash\",\"flash\":\"rim\"}\n");
  const auto unknown = client.take(1);
  ASSERT_EQ(unknown.size(), 1u);
  EXPECT_EQ(errorKind(unknown[0]), QStringLiteral("bad-request"));
  EXPECT_TRUE(unknown[0]["error"]["message"].toString().contains(
      QStringLiteral("no flash named 'rim' (its flashes: key, fill)")))
      << unknown[0]["error"]["message"].toString().toStdString();
  spinFor(100);
  EXPECT_EQ(module.log().size(), before) << "something was sent for an unknown flash";
}

TEST_F(DescribedRig, ARigFileThatCannotBeUsedStopsTheStartNamingTheLine) {
  QFile file(rigFile());
  ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Append));
  file.write("[[cameras]]\nname = \"c9\"\nshutter = \"ring:1\"\n");
  file.close();
  startServe(rigFile());
  ASSERT_TRUE(serve->waitForFinished(10000));
  EXPECT_EQ(serve->exitCode(), 78);
  const QString words = QString::fromLocal8Bit(serve->readAllStandardError());
  EXPECT_TRUE(words.contains(QStringLiteral("rig.toml:"))) << words.toStdString();
  EXPECT_TRUE(words.contains(QStringLiteral("already"))) << words.toStdString();
}

}  // namespace
