#include <gtest/gtest.h>

#include <QJsonArray>
#include <QTimer>
#include <map>
#include <memory>
#include <optional>

#include "Broker.h"
#include "TestClient.h"
#include "bridge/Bridge.h"

namespace {

using service::Action;

// Runs nothing: records each request and answers it after `delayMs`, as a rig that takes time.
class FakeHost : public service::RigHost {
 public:
  void submit(const service::Request& request, Done done) override {
    requests.push_back(request);
    QTimer::singleShot(delayMs, this, [this, done = std::move(done)] {
      service::Result result;
      result.state = state();
      done(result);
    });
  }
  service::State state() const override {
    service::State state;
    state.status = QStringLiteral("Port Found and Opened");
    state.broker = broker();
    state.roles = roles;
    return state;
  }
  // A described rig: its cameras and flashes, by name.
  void describe(const std::vector<std::string>& cameras, const std::vector<std::string>& flashes) {
    roles = rig::RoleState{};
    for (const std::string& name : cameras) {
      roles->cameras.push_back({name, rig::LineState::Unknown, std::nullopt});
    }
    for (const std::string& name : flashes)
      roles->flashes.push_back({name, rig::LineState::Unknown});
  }

  std::vector<service::Request> requests;
  std::optional<rig::RoleState> roles;
  int delayMs = 0;
};

const QString kCommand = QStringLiteral("quillmar/cam1/command");
const QString kAll = QStringLiteral("quillmar/all/command");
const QString kResult = QStringLiteral("quillmar/cam1/result");
const QString kState = QStringLiteral("quillmar/cam1/state");

bridge::BrokerSettings settingsFor(const Broker& broker, const QString& rig = "cam1") {
  bridge::BrokerSettings settings;
  settings.host = QStringLiteral("127.0.0.1");
  settings.port = broker.port();
  settings.rig = rig;
  return settings;
}

class BridgeTest : public testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(broker.start()) << broker.log().toStdString(); }

  void startBridge(bridge::BrokerSettings settings) {
    bridge = std::make_unique<bridge::Bridge>(host, std::move(settings));
    bridge->start();
  }
  void startBridge() { startBridge(settingsFor(broker)); }
  bool connected() {
    return eventually([this] { return host.broker() == QStringLiteral("connected"); });
  }
  std::vector<Action> actions() const {
    std::vector<Action> done;
    for (const auto& request : host.requests) done.push_back(request.action);
    return done;
  }

  Broker broker;
  FakeHost host;
  std::unique_ptr<bridge::Bridge> bridge;
};

TEST_F(BridgeTest, CommandsRunInOrderAndAreAnsweredWithTheirIds) {
  startBridge();
  ASSERT_TRUE(connected());
  TestClient user(broker.port(), {kResult});
  ASSERT_TRUE(user.ready());

  user.publish(kCommand, "flash");
  user.publish(kCommand, R"({"action": "status", "id": 7})");
  user.publish(kAll, " sequence\n");
  ASSERT_TRUE(eventually([&] { return user.count(kResult) == 3; }));
  EXPECT_EQ(actions(), (std::vector{Action::Flash, Action::Status, Action::Sequence}));

  const auto answers = user.on(kResult);
  EXPECT_EQ(answers[0].json()["action"].toString(), QStringLiteral("flash"));
  EXPECT_FALSE(answers[0].json().contains(QStringLiteral("id")));
  EXPECT_EQ(answers[1].json()["id"].toInt(), 7);
  EXPECT_TRUE(answers[1].json()["ok"].toBool());
  // The status answer carries the broker's link state.
  EXPECT_EQ(answers[1].json()["state"].toObject()["broker"].toString(),
            QStringLiteral("connected"));

  // A newcomer finds the retained state, online.
  TestClient watcher(broker.port(), {kState});
  ASSERT_TRUE(watcher.ready());
  ASSERT_TRUE(eventually([&] { return watcher.count(kState) >= 1; }));
  const auto state = watcher.on(kState).front();
  EXPECT_TRUE(state.retained);
  EXPECT_TRUE(state.json()["online"].toBool());
  EXPECT_EQ(state.json()["status"].toString(), QStringLiteral("Port Found and Opened"));
}

TEST_F(BridgeTest, BadPayloadsAreAnsweredWithAnErrorAndRunNothing) {
  startBridge();
  ASSERT_TRUE(connected());
  TestClient user(broker.port(), {kResult});
  ASSERT_TRUE(user.ready());

  const QList<QByteArray> bad{QByteArray(4097, ' '),
                              R"({"action": "flash", "pad": ")" + QByteArray(4100, 'x') + "\"}",
                              "not json {",
                              "fire",
                              "relay on 1",
                              R"({"action": "raw", "id": "r1"})",
                              "open",
                              "[\"flash\"]"};
  // An empty payload (how a retained message is cleared) is no request: not even answered.
  user.publish(kCommand, QByteArray());
  for (const QByteArray& payload : bad) user.publish(kCommand, payload);
  user.publish(kCommand, "shutter");
  ASSERT_TRUE(
      eventually([&] { return user.count(kResult) == static_cast<std::size_t>(bad.size()) + 1; }));

  EXPECT_EQ(actions(), std::vector{Action::Shutter});
  const auto answers = user.on(kResult);
  for (qsizetype i = 0; i < bad.size(); ++i) {
    const QJsonObject answer = answers[i].json();
    EXPECT_FALSE(answer["ok"].toBool()) << i;
    EXPECT_EQ(answer["error"].toObject()["kind"].toString(), QStringLiteral("bad-request")) << i;
  }
  EXPECT_EQ(answers[5].json()["id"].toString(), QStringLiteral("r1"));
  EXPECT_TRUE(answers.back().json()["ok"].toBool());
  EXPECT_EQ(answers.size(), static_cast<std::size_t>(bad.size()) + 1);
}

TEST_F(BridgeTest, RetainedCommandsAreIgnoredAndRepeatedIdsRunOnce) {
  {
    TestClient earlier(broker.port(), {});
    ASSERT_TRUE(earlier.ready());
    earlier.publish(kCommand, "sequence", true);
    earlier.publish(kAll, "flash", true);
  }
  startBridge();
  ASSERT_TRUE(connected());
  TestClient user(broker.port(), {kResult});
  ASSERT_TRUE(user.ready());

  host.delayMs = 200;
  // The second copy comes while the first runs, the third after it was answered.
  user.publish(kCommand, R"({"action": "shutter", "id": "shot-1"})");
  user.publish(kAll, R"({"id": "shot-1", "action": "shutter"})");
  // The copy sent while the first ran is answered when it is.
  ASSERT_TRUE(eventually([&] { return user.count(kResult) == 2; }));
  user.publish(kCommand, R"({"action": "shutter", "id": "shot-1"})");
  user.publish(kCommand, R"({"action": "shutter", "id": "shot-2"})");
  user.publish(kCommand, R"({"action": "shutter", "id": ["shot-1"]})");
  ASSERT_TRUE(eventually([&] { return user.count(kResult) == 5; }));

  EXPECT_EQ(actions(), (std::vector{Action::Shutter, Action::Shutter, Action::Shutter}));
  const auto answers = user.on(kResult);
  // Each repeat gets the first run's answer again.
  EXPECT_EQ(answers[1].payload, answers[0].payload);
  EXPECT_EQ(answers[2].payload, answers[0].payload);
  EXPECT_EQ(answers[3].json()["id"].toString(), QStringLiteral("shot-2"));
}

TEST_F(BridgeTest, BrokerRestartedMidRun) {
  startBridge();
  ASSERT_TRUE(connected());
  TestClient user(broker.port(), {kResult, kState});
  ASSERT_TRUE(user.ready());

  // A sequence is running when the broker goes away: its answer waits for the broker's return.
  host.delayMs = 1500;
  user.publish(kCommand, R"({"action": "sequence", "id": 1})");
  ASSERT_TRUE(eventually([&] { return host.requests.size() == 1; }));
  broker.stop();
  ASSERT_TRUE(eventually([&] { return host.broker().startsWith(QStringLiteral("retrying: ")); }))
      << host.broker().toStdString();

  ASSERT_TRUE(broker.start());
  ASSERT_TRUE(connected());
  ASSERT_TRUE(user.ready());
  ASSERT_TRUE(eventually([&] { return user.count(kResult) == 1; }, 8000));
  EXPECT_EQ(user.on(kResult).front().json()["id"].toInt(), 1);

  // The broker kept nothing; the state is published again, online.
  TestClient watcher(broker.port(), {kState});
  ASSERT_TRUE(watcher.ready());
  ASSERT_TRUE(eventually([&] { return watcher.count(kState) >= 1; }));
  EXPECT_TRUE(watcher.on(kState).back().json()["online"].toBool());

  host.delayMs = 0;
  user.publish(kAll, "flash");
  ASSERT_TRUE(eventually([&] { return user.count(kResult) == 2; }));
  EXPECT_EQ(actions(), (std::vector{Action::Sequence, Action::Flash}));
}

TEST_F(BridgeTest, CleanExitAndAClosedWindowLeaveTheRigOffline) {
  startBridge();
  ASSERT_TRUE(connected());
  bridge.reset();
  EXPECT_TRUE(host.broker().isEmpty());
  TestClient watcher(broker.port(), {kState});
  ASSERT_TRUE(watcher.ready());
  ASSERT_TRUE(eventually([&] { return watcher.count(kState) >= 1; }));
  EXPECT_FALSE(watcher.on(kState).back().json()["online"].toBool());

  // The panel's rig service goes with its window, before the bridge.
  auto window = std::make_unique<FakeHost>();
  bridge::Bridge other(*window, settingsFor(broker));
  other.start();
  ASSERT_TRUE(eventually([&] { return window->broker() == QStringLiteral("connected"); }));
  ASSERT_TRUE(eventually([&] { return watcher.on(kState).back().json()["online"].toBool(); }));
  window.reset();
  ASSERT_TRUE(eventually([&] { return !watcher.on(kState).back().json()["online"].toBool(); }));
  other.stop();
}

// Two rigs started under one name: the second says so and takes none of the name's commands,
// and its leaving does not mark the first offline; once the first leaves, the second takes over.
TEST_F(BridgeTest, ASecondRigOfOneNameYieldsUntilTheFirstLeaves) {
  startBridge();
  ASSERT_TRUE(connected());
  FakeHost secondHost;
  auto second = std::make_unique<bridge::Bridge>(secondHost, settingsFor(broker));
  second->start();
  ASSERT_TRUE(eventually([&] {
    return secondHost.broker().startsWith(QStringLiteral("name taken"));
  })) << secondHost.broker().toStdString();
  EXPECT_EQ(host.broker(), QStringLiteral("connected"));

  TestClient user(broker.port(), {kResult, kState});
  ASSERT_TRUE(user.ready());
  user.publish(kCommand, "flash");
  user.publish(kAll, "shutter");
  ASSERT_TRUE(eventually([&] { return user.count(kResult) == 2; }));
  EXPECT_EQ(actions(), (std::vector{Action::Flash, Action::Shutter}));
  EXPECT_TRUE(secondHost.requests.empty());

  // The second leaves: the retained state is still the first's, online.
  second.reset();
  TestClient watcher(broker.port(), {kState});
  ASSERT_TRUE(watcher.ready());
  ASSERT_TRUE(eventually([&] { return watcher.count(kState) >= 1; }));
  EXPECT_TRUE(watcher.on(kState).back().json()["online"].toBool());

  // A second again, and then the first leaves: the second takes the name and its commands.
  second = std::make_unique<bridge::Bridge>(secondHost, settingsFor(broker));
  second->start();
  ASSERT_TRUE(
      eventually([&] { return secondHost.broker().startsWith(QStringLiteral("name taken")); }));
  bridge.reset();
  ASSERT_TRUE(eventually([&] { return secondHost.broker() == QStringLiteral("connected"); }));
  ASSERT_TRUE(eventually([&] { return watcher.on(kState).back().json()["online"].toBool(); }));
  user.publish(kCommand, "sequence");
  ASSERT_TRUE(eventually([&] { return secondHost.requests.size() == 1; }));
  EXPECT_EQ(secondHost.requests[0].action, Action::Sequence);
  second.reset();
}

TEST_F(BridgeTest, DiscoveryAnnouncesTheButtonsAndTheFlashAndCanRemoveThem) {
  auto settings = settingsFor(broker);
  settings.haPrefix = QStringLiteral("ha");
  startBridge(settings);
  ASSERT_TRUE(connected());
  TestClient watcher(broker.port(), {QStringLiteral("ha/button/quillmar_cam1/+/config")});
  ASSERT_TRUE(watcher.ready());
  const QString start = QStringLiteral("ha/button/quillmar_cam1/start/config");
  const QString flash = QStringLiteral("ha/button/quillmar_cam1/main_flash/config");
  const QString shutter = QStringLiteral("ha/button/quillmar_cam1/camera_shutter/config");
  ASSERT_TRUE(eventually(
      [&] { return watcher.count(start) + watcher.count(flash) + watcher.count(shutter) == 3; }));

  TestClient newcomer(broker.port(), {start});
  ASSERT_TRUE(newcomer.ready());
  ASSERT_TRUE(eventually([&] { return newcomer.count(start) == 1; }));
  EXPECT_TRUE(newcomer.on(start).front().retained);

  const QJsonObject config = watcher.on(start).front().json();
  EXPECT_EQ(config["name"].toString(), QStringLiteral("Start"));
  EXPECT_EQ(config["command_topic"].toString(), kCommand);
  EXPECT_EQ(config["payload_press"].toString(), QStringLiteral("sequence"));
  EXPECT_EQ(config["availability"].toArray()[0].toObject()["topic"].toString(), kState);
  EXPECT_EQ(watcher.on(flash).front().json()["name"].toString(), QStringLiteral("Main Flash"));
  EXPECT_EQ(watcher.on(shutter).front().json()["payload_press"].toString(),
            QStringLiteral("shutter"));
  EXPECT_EQ(watcher.on(flash).front().json()["device"], config["device"]);
  // Who announced it, in which version; each press with an id of its own.
  EXPECT_EQ(config["origin"].toObject()["name"].toString(), QStringLiteral("Quillmar"));
  EXPECT_FALSE(config["device"].toObject()["sw_version"].toString().isEmpty());
  EXPECT_TRUE(config["command_template"].toString().contains(QStringLiteral("\"id\"")));
  // Unavailable while the port is not open ("Port Lost"), not only while the rig is away.
  EXPECT_TRUE(config["availability"].toArray()[0].toObject()["value_template"].toString().contains(
      QStringLiteral("value_json.open")));

  // The flash's state, read from the state topic.
  const QString sensor = QStringLiteral("ha/binary_sensor/quillmar_cam1/flash/config");
  TestClient sensors(broker.port(), {sensor});
  ASSERT_TRUE(sensors.ready());
  ASSERT_TRUE(eventually([&] { return sensors.count(sensor) == 1; }));
  EXPECT_EQ(sensors.on(sensor).front().json()["state_topic"].toString(), kState);
  // Read from the typed field, not from the button's caption.
  const QString read = sensors.on(sensor).front().json()["value_template"].toString();
  EXPECT_TRUE(read.contains(QStringLiteral("value_json.relays.flash == 'on'")))
      << read.toStdString();
  EXPECT_FALSE(read.contains(QStringLiteral("Flash 2"))) << read.toStdString();

  // Under its old name after a rename, the rig removes what it announced: empty retained configs.
  bridge.reset();
  settings.haRemove = true;
  startBridge(settings);
  ASSERT_TRUE(connected());
  ASSERT_TRUE(eventually([&] { return sensors.count(sensor) == 2 && watcher.count(start) == 2; }));
  EXPECT_TRUE(sensors.on(sensor).back().payload.isEmpty());
  for (const QString& button : {start, flash, shutter}) {
    ASSERT_TRUE(eventually([&] { return watcher.count(button) == 2; })) << button.toStdString();
    EXPECT_TRUE(watcher.on(button).back().payload.isEmpty()) << button.toStdString();
  }
}

// Every camera of a described rig gets a button whose press fires it alone, every flash a
// sensor; they follow the rig from run to run, stay while its boards are closed, and a rig
// without cameras has none.
TEST_F(BridgeTest, DiscoveryAnnouncesEveryCameraOfTheRig) {
  TestClient watcher(broker.port(), {QStringLiteral("ha/+/quillmar_cam1/+/config"), kResult});
  ASSERT_TRUE(watcher.ready());
  // The configs announced now, by topic: the last of each, the removed (empty) ones left out.
  const auto announced = [&] {
    std::map<QString, QJsonObject> last;
    for (const auto& message : watcher.all()) {
      if (message.topic == kResult) continue;
      if (message.payload.isEmpty()) {
        last.erase(message.topic);
      } else {
        last[message.topic] = message.json();
      }
    }
    return last;
  };
  const auto roles = [&] {
    std::vector<QString> names;
    for (const auto& [where, config] : announced()) {
      if (where.contains(QStringLiteral("/camera-")) || where.contains(QStringLiteral("/flash-")))
        names.push_back(config["name"].toString());
    }
    return names;
  };
  const QString cameraButtons = QStringLiteral("ha/button/quillmar_cam1/camera-");
  auto settings = settingsFor(broker);
  settings.haPrefix = QStringLiteral("ha");
  host.describe({"c1", "left \"cam\""}, {"key"});
  startBridge(settings);
  ASSERT_TRUE(connected());
  ASSERT_TRUE(eventually([&] {
    return roles() == std::vector<QString>{"Flash key", "Shutter c1", "Shutter left \"cam\"",
                                           "Toggle flash key"};
  }));

  // Each camera's button and the flash's toggle, pressed as the home server sends them.
  for (const QString& topic :
       {cameraButtons + QStringLiteral("c1"), cameraButtons + QStringLiteral("left_20_22cam_22"),
        QStringLiteral("ha/button/quillmar_cam1/flash-key-toggle")}) {
    const QJsonObject config = announced()[topic + QStringLiteral("/config")];
    QString press = config["command_template"].toString();
    press.replace(QStringLiteral("{{ value }}"), config["payload_press"].toString());
    press.replace(QStringLiteral("{{ now().timestamp() }}"), QStringLiteral("1765000000.5"));
    watcher.publish(config["command_topic"].toString(), press.toUtf8());
  }
  watcher.publish(kAll, R"({"action": "shutter", "cameras": ["left \"cam\"", "c1"]})");
  ASSERT_TRUE(eventually([&] { return watcher.count(kResult) == 4; }));
  ASSERT_EQ(actions(),
            (std::vector{Action::Shutter, Action::Shutter, Action::Flash, Action::Shutter}));
  EXPECT_EQ(host.requests[0].cameras, std::vector<QString>{"c1"});
  EXPECT_EQ(host.requests[1].cameras, std::vector<QString>{"left \"cam\""});
  EXPECT_EQ(host.requests[2].flash, QStringLiteral("key"));
  EXPECT_EQ(host.requests[3].cameras, (std::vector<QString>{"left \"cam\"", "c1"}));

  // The boards closed: the answer comes after anything the change would have removed.
  host.roles = rig::RoleState{};
  emit host.stateChanged(host.state());
  watcher.publish(kCommand, "status");
  ASSERT_TRUE(eventually([&] { return watcher.count(kResult) == 5; }));
  EXPECT_EQ(roles().size(), 4U);

  // Started again with another rig file.
  bridge.reset();
  host.describe({"c2"}, {});
  startBridge(settings);
  ASSERT_TRUE(eventually([&] { return roles() == std::vector<QString>{"Shutter c2"}; }));
  // Removing the rig's entities removes its cameras' too.
  bridge.reset();
  settings.haRemove = true;
  startBridge(settings);
  ASSERT_TRUE(eventually([&] { return announced().empty(); }));
  // A camera's button left by an earlier run, and a rig without cameras: the base ones alone.
  bridge.reset();
  watcher.publish(cameraButtons + QStringLiteral("old/config"), R"({"name": "Shutter old"})", true);
  ASSERT_TRUE(eventually([&] { return roles() == std::vector<QString>{"Shutter old"}; }));
  settings.haRemove = false;
  host.roles.reset();
  startBridge(settings);
  ASSERT_TRUE(eventually([&] { return roles().empty() && announced().size() == 4; }));
  EXPECT_TRUE(
      announced().contains(QStringLiteral("ha/button/quillmar_cam1/camera_shutter/config")));
}

TEST(BridgeAccounts, AWrongPasswordIsRefusedInWordsAndTheRightOneTaken) {
  Broker broker({QStringLiteral("cam:right")});
  ASSERT_TRUE(broker.start());
  FakeHost host;
  auto settings = settingsFor(broker);
  settings.user = QStringLiteral("cam");
  settings.password = QStringLiteral("wrong");
  {
    bridge::Bridge wrong(host, settings);
    wrong.start();
    ASSERT_TRUE(eventually([&] { return host.broker().startsWith(QStringLiteral("refused")); }))
        << host.broker().toStdString();
    EXPECT_TRUE(host.broker().contains(QStringLiteral("password")));
    EXPECT_FALSE(host.broker().contains(QStringLiteral("wrong")));
  }
  settings.password = QStringLiteral("right");
  bridge::Bridge right(host, settings);
  right.start();
  EXPECT_TRUE(eventually([&] { return host.broker() == QStringLiteral("connected"); }));
}

TEST(BridgeTls, TheBrokersCertificateIsCheckedAgainstTheGivenAuthority) {
  Broker broker({}, true);
  ASSERT_TRUE(broker.start()) << broker.log().toStdString();
  FakeHost host;
  auto settings = settingsFor(broker);
  settings.tls = true;
  {
    // Not signed by an authority the system trusts.
    bridge::Bridge untrusted(host, settings);
    untrusted.start();
    ASSERT_TRUE(eventually([&] { return host.broker().startsWith(QStringLiteral("retrying")); }));
  }
  settings.caFile = broker.caFile();
  bridge::Bridge trusted(host, settings);
  trusted.start();
  EXPECT_TRUE(eventually([&] { return host.broker() == QStringLiteral("connected"); }))
      << host.broker().toStdString();
}

}  // namespace
