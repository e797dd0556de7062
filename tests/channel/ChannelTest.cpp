// The one way in that the local socket, the phone remote and the broker share: bad requests,
// repeated ids, withdrawals, and one request answered alike on the three channels.

#include <gtest/gtest.h>

#include <QJsonDocument>
#include <QJsonObject>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTimer>
#include <memory>
#include <vector>

#include "Broker.h"
#include "TestClient.h"
#include "bridge/Bridge.h"
#include "endpoint/EndpointClient.h"
#include "endpoint/LocalEndpoint.h"
#include "service/Channel.h"
#include "support/HeldHost.h"
#include "web/WebRemote.h"

namespace {

using service::Channel;
using service::Origin;

// The answers a channel gave, in order.
struct Answers {
  Channel::Answer into() {
    return [this](const QByteArray& text) { texts.push_back(text); };
  }
  QJsonObject json(std::size_t i) const { return QJsonDocument::fromJson(texts.at(i)).object(); }
  std::vector<QByteArray> texts;
};

QString kindOf(const QJsonObject& answer) {
  return answer.value(QStringLiteral("error")).toObject().value(QStringLiteral("kind")).toString();
}

service::Result flashFailed() {
  service::Result result = service::failed(
      service::Action::Flash, {rig::FailureKind::NoAnswer, 3, "/dev/ttyUSB0", "no answer"});
  result.commands.push_back({0.000125, QStringLiteral("relay read 0"), {}});
  result.state.status = QStringLiteral("Port Found and Opened");
  return result;
}

TEST(Channel, BadRequestsAreAnsweredAtOnceWithTheirIdsAndRunNothing) {
  HeldHost host;
  QObject context;
  Channel channel(host, Origin::Web);
  Answers answers;
  const std::vector<QByteArray> bad{"not json {",
                                    R"({"action":"jump","id":123456789012345678901234567890})",
                                    R"({"action":"status","action":"flash","id":"twice"})",
                                    R"({"action":"flash","pad":")" + QByteArray(5000, 'x') + "\"}"};
  for (const QByteArray& text : bad) {
    EXPECT_EQ(channel.take(service::parseRequest(text), &context, answers.into()), nullptr);
  }
  ASSERT_EQ(answers.texts.size(), bad.size());
  for (std::size_t i = 0; i < bad.size(); ++i) {
    EXPECT_EQ(kindOf(answers.json(i)), QStringLiteral("bad-request")) << answers.texts[i].data();
  }
  // An id that a double cannot hold comes back as it was sent.
  EXPECT_TRUE(answers.texts[1].startsWith("{\"id\":123456789012345678901234567890,"));
  EXPECT_EQ(answers.json(2).value(QStringLiteral("id")).toString(), QStringLiteral("twice"));
  EXPECT_TRUE(host.received.empty());
}

TEST(Channel, ARepeatedIdRunsOnceAndGetsTheFirstAnswer) {
  HeldHost host;
  QObject context;
  Channel channel(host, Origin::Broker);
  Answers answers;
  const service::ParsedRequest flash = service::parseRequest(R"({"action":"flash","id":"r"})");
  ASSERT_NE(channel.take(flash, &context, answers.into()), nullptr);
  // Sent again while the first is queued: answered when the first one is.
  EXPECT_EQ(channel.take(flash, &context, answers.into()), nullptr);
  EXPECT_TRUE(answers.texts.empty());
  host.finish(flashFailed());
  ASSERT_TRUE(spinUntil([&] { return answers.texts.size() == 2; }));
  // Sent again once answered: the same answer, at once.
  EXPECT_EQ(channel.take(flash, &context, answers.into()), nullptr);
  ASSERT_EQ(answers.texts.size(), 3U);
  EXPECT_EQ(answers.texts.front(), answers.texts.back());
  EXPECT_EQ(host.received.size(), 1U);
  EXPECT_EQ(host.received.front().origin, Origin::Broker);
}

TEST(Channel, ARepeatOfARequestAnsweredWithoutRunningIsAnsweredToo) {
  // A status, a stop or a disarm is answered without ever starting: a phone retrying one under
  // its id gets that answer instead of waiting for one that never comes.
  HeldHost host;
  host.answerAtOnce = true;
  QObject context;
  Channel channel(host, Origin::Web);
  Answers answers;
  const service::ParsedRequest status = service::parseRequest(R"({"action":"status","id":5})");
  ASSERT_NE(channel.take(status, &context, answers.into()), nullptr);
  ASSERT_TRUE(spinUntil([&] { return answers.texts.size() == 1; }));
  EXPECT_EQ(channel.take(status, &context, answers.into()), nullptr);
  ASSERT_EQ(answers.texts.size(), 2U);
  EXPECT_EQ(answers.texts[0], answers.texts[1]);
  EXPECT_EQ(host.received.size(), 1U);
}

TEST(Channel, AWithdrawnRequestIsAnsweredNotRunOnceAndItsIdRunsAfresh) {
  HeldHost host;
  QObject context;
  Channel channel(host, Origin::Socket);
  Answers answers;
  const service::ParsedRequest shutter = service::parseRequest(R"({"action":"shutter","id":"w"})");
  service::Reply* reply = channel.take(shutter, &context, answers.into());
  ASSERT_NE(reply, nullptr);
  // A repeat that waits for the first one's answer gets the withdrawal's.
  EXPECT_EQ(channel.take(shutter, &context, answers.into()), nullptr);
  const auto withdrawn = channel.withdraw(reply);
  ASSERT_TRUE(withdrawn.has_value());
  EXPECT_EQ(kindOf(QJsonDocument::fromJson(*withdrawn).object()), QStringLiteral("not-run"));
  ASSERT_EQ(answers.texts.size(), 1U);
  EXPECT_EQ(answers.texts.front(), *withdrawn);
  EXPECT_FALSE(channel.withdraw(reply).has_value());
  // The host's own answer to it later is nobody's.
  host.finish();
  spinFor(50);
  EXPECT_EQ(answers.texts.size(), 1U);
  ASSERT_NE(channel.take(shutter, &context, answers.into()), nullptr);
  EXPECT_EQ(host.received.size(), 2U);
}

// Answers every request with the same failure, on the event loop, as the rig service does.
class FailingHost : public service::RigHost {
 public:
  void submit(const service::Request& request, Done done) override {
    received.push_back(request);
    QTimer::singleShot(0, this, [done = std::move(done)] { done(flashFailed()); });
  }
  service::State state() const override { return {}; }

  std::vector<service::Request> received;
};

// One request on the socket, the phone remote and the broker, on one host.
class ThreeChannels : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(runtime.isValid());
    qputenv("XDG_RUNTIME_DIR", runtime.path().toLocal8Bit());
    ASSERT_TRUE(endpoint.listen(QStringLiteral("channels")));
    ASSERT_TRUE(remote.listen()) << remote.errorString().toStdString();
    ASSERT_TRUE(broker.start()) << broker.log().toStdString();
    bridge::BrokerSettings settings;
    settings.host = QStringLiteral("127.0.0.1");
    settings.port = broker.port();
    settings.rig = QStringLiteral("cam1");
    bridge = std::make_unique<bridge::Bridge>(host, settings);
    bridge->start();
    ASSERT_TRUE(eventually([this] { return host.broker() == QStringLiteral("connected"); }));
  }
  void TearDown() override { qunsetenv("XDG_RUNTIME_DIR"); }

  QString socketPath() const { return service::LocalEndpoint::address(QStringLiteral("channels")); }

  // The phone remote's answer: the body of the POST's response.
  QByteArray post(const QByteArray& body) const {
    QTcpSocket socket;
    socket.connectToHost(QStringLiteral("127.0.0.1"), remote.port());
    if (!socket.waitForConnected(3000)) return {};
    socket.write(
        "POST /api/request HTTP/1.1\r\nHost: 127.0.0.1:" + QByteArray::number(remote.port()) +
        "\r\nAuthorization: Bearer " + remote.token().toLatin1() +
        "\r\nConnection: close\r\nContent-Length: " + QByteArray::number(body.size()) + "\r\n\r\n" +
        body);
    QByteArray received;
    spinUntil([&] {
      received += socket.readAll();
      return socket.state() == QAbstractSocket::UnconnectedState;
    });
    return received.mid(received.indexOf("\r\n\r\n") + 4);
  }

  // The broker's answer to the next request published.
  QByteArray publish(TestClient& user, const QByteArray& payload) const {
    const QString results = QStringLiteral("quillmar/cam1/result");
    const std::size_t before = user.count(results);
    user.publish(QStringLiteral("quillmar/cam1/command"), payload);
    if (!eventually([&] { return user.count(results) > before; })) return {};
    return user.on(results).back().payload;
  }

  QTemporaryDir runtime;
  FailingHost host;
  service::LocalEndpoint endpoint{host};
  web::WebRemote remote{host, web::WebSettings{}};
  Broker broker;
  std::unique_ptr<bridge::Bridge> bridge;
};

TEST_F(ThreeChannels, OneRequestIsAnsweredAlikeAndARepeatRunsOnceInEachChannelsScope) {
  const QByteArray request = R"({"action":"flash","id":123456789012345678901234567890})";
  EndpointClient socket(socketPath());
  ASSERT_TRUE(socket.connected());
  socket.send(request + '\n');
  const std::vector<QByteArray> fromSocket = socket.takeLines(1);
  ASSERT_EQ(fromSocket.size(), 1U);
  const QByteArray fromWeb = post(request);
  TestClient user(broker.port(), {QStringLiteral("quillmar/cam1/result")});
  ASSERT_TRUE(user.ready());
  const QByteArray fromBroker = publish(user, request);

  // The same answer, byte for byte, its id as it was sent.
  EXPECT_EQ(fromSocket.front(), fromBroker + '\n');
  EXPECT_EQ(fromWeb, fromBroker);
  EXPECT_TRUE(fromBroker.startsWith("{\"id\":123456789012345678901234567890,"))
      << fromBroker.data();
  EXPECT_EQ(kindOf(QJsonDocument::fromJson(fromBroker).object()), QStringLiteral("no-answer"));
  ASSERT_EQ(host.received.size(), 3U);
  EXPECT_EQ(host.received[0].origin, Origin::Socket);
  EXPECT_EQ(host.received[1].origin, Origin::Web);
  EXPECT_EQ(host.received[2].origin, Origin::Broker);

  // Again under the same id: the broker and the phone remote remember it for all their clients,
  // the socket for its connection, so that a new connection runs it afresh.
  EXPECT_EQ(publish(user, request), fromBroker);
  EXPECT_EQ(post(request), fromBroker);
  socket.send(request + '\n');
  const std::vector<QByteArray> again = socket.takeLines(1);
  ASSERT_EQ(again.size(), 1U);
  EXPECT_EQ(again.front(), fromBroker + '\n');
  EXPECT_EQ(host.received.size(), 3U);

  EndpointClient other(socketPath());
  other.send(request + '\n');
  EXPECT_EQ(other.takeLines(1).size(), 1U);
  EXPECT_EQ(host.received.size(), 4U);
}

}  // namespace
