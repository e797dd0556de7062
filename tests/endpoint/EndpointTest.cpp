// The local endpoint on a fake rig host: what clients send, what they get back, and what
// bad input does.

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonParseError>
#include <QLocalSocket>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTimer>
#include <algorithm>
#include <cstring>
#include <functional>
#include <memory>
#include <vector>

#include "EndpointClient.h"
#include "endpoint/LocalEndpoint.h"
#include "support/HeldHost.h"

namespace {

using service::Action;
using service::Request;
using service::Result;

class Endpoint : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(runtime.isValid());
    qputenv("XDG_RUNTIME_DIR", runtime.path().toLocal8Bit());
    ASSERT_TRUE(endpoint.listen(QStringLiteral("test"))) << endpoint.errorString().toStdString();
  }
  void TearDown() override { qunsetenv("XDG_RUNTIME_DIR"); }

  QString path() const { return service::LocalEndpoint::address(QStringLiteral("test")); }

  QTemporaryDir runtime;
  HeldHost host;
  service::LocalEndpoint endpoint{host};
};

QString kindOf(const QJsonObject& answer) {
  return answer.value(QStringLiteral("error")).toObject().value(QStringLiteral("kind")).toString();
}

TEST_F(Endpoint, PipelinedRequestsAreAnsweredInRequestOrderWithTheirIds) {
  EndpointClient client(path());
  ASSERT_TRUE(client.connected());
  client.send(
      "{\"action\":\"sequence\",\"id\":1}\n"
      "not json\r\n"
      "\n"
      "{\"action\":\"jump\",\"id\":[5]}\n"
      "{\"action\":\"open\",\"port\":3,\"id\":\"x\"}\n");
  // The bad lines are answered at once but wait behind the sequence that came before them.
  spinFor(50);
  EXPECT_TRUE(client.take(1, 0).empty());
  ASSERT_EQ(host.received.size(), 2u);
  EXPECT_EQ(host.received[0].action, Action::Sequence);
  EXPECT_EQ(host.received[1].action, Action::Open);
  EXPECT_EQ(host.received[1].port, QStringLiteral("3"));

  host.finish();
  Result failed;
  failed.ok = false;
  failed.failure.kind = rig::FailureKind::NoDevice;
  failed.message = QStringLiteral("port 3: no device for this port number");
  QSignalSpy shown(&endpoint, &service::LocalEndpoint::requestFailed);
  host.finish(failed);

  const auto answers = client.take(4);
  ASSERT_EQ(answers.size(), 4u);
  EXPECT_EQ(answers[0].value(QStringLiteral("id")).toInt(), 1);
  EXPECT_TRUE(answers[0].value(QStringLiteral("ok")).toBool());
  EXPECT_EQ(kindOf(answers[1]), QStringLiteral("bad-request"));
  EXPECT_FALSE(answers[1].contains(QStringLiteral("id")));
  EXPECT_EQ(kindOf(answers[2]), QStringLiteral("bad-request"));
  EXPECT_EQ(answers[2].value(QStringLiteral("id")).toArray().at(0).toInt(), 5);
  EXPECT_EQ(answers[3].value(QStringLiteral("id")).toString(), QStringLiteral("x"));
  EXPECT_EQ(kindOf(answers[3]), QStringLiteral("no-device"));
  // The failure is shown on the panel too.
  ASSERT_EQ(shown.size(), 1);
  EXPECT_TRUE(shown.at(0).at(0).toString().contains(failed.message));
}

TEST_F(Endpoint, RequestsAreTakenOnlyAsMeantAndIdsComeBackAsSent) {
  host.answerAtOnce = true;
  EndpointClient client(path());
  client.send(
      "{\"action\":\"open\",\"port\":1.5,\"id\":1}\n"
      "{\"action\":\"status\",\"action\":\"flash\",\"id\":2}\n"
      "{\"action\":\"open\",\"port\":2.0}\n"
      "{\"action\":\"status\",\"id\":123456789012345678901234567890}\n"
      "{\"id\" : { \"a\" : [1.50, \"x,} \\\"y\"] } , \"action\":\"flash\"}\n"
      "{\"action\":\"jump\",\"id\":-0.10e+3}\n");
  const auto lines = client.takeLines(6);
  ASSERT_EQ(lines.size(), 6u);
  std::vector<QJsonObject> answers;
  for (const QByteArray& line : lines) answers.push_back(QJsonDocument::fromJson(line).object());
  // A port between two numbers, and a key given twice, run nothing.
  EXPECT_EQ(kindOf(answers[0]), QStringLiteral("bad-request"));
  EXPECT_EQ(answers[0].value(QStringLiteral("id")).toInt(), 1);
  EXPECT_EQ(kindOf(answers[1]), QStringLiteral("bad-request"));
  ASSERT_EQ(host.received.size(), 3u);
  EXPECT_EQ(host.received[0].port, QStringLiteral("2"));
  EXPECT_EQ(host.received[2].action, Action::Flash);
  // Ids come back in their own text, long numbers and all.
  EXPECT_TRUE(lines[3].startsWith("{\"id\":123456789012345678901234567890,")) << lines[3].data();
  EXPECT_TRUE(lines[4].startsWith("{\"id\":{\"a\":[1.50,\"x,} \\\"y\"]},")) << lines[4].data();
  EXPECT_TRUE(lines[5].startsWith("{\"id\":-0.10e+3,")) << lines[5].data();
  EXPECT_EQ(kindOf(answers[5]), QStringLiteral("bad-request"));
}

TEST_F(Endpoint, ControlCharactersInIdsAndAByteOrderMarkLeaveEveryAnswerValidJson) {
  host.answerAtOnce = true;
  EndpointClient client(path());
  // A tab, 0x01 and a carriage return inside string ids (one nested), then a byte-order mark
  // before a request with a key given twice, then one before a good request.
  client.send(
      "{\"action\":\"status\",\"id\":\"a\tb\"}\n"
      "{\"action\":\"status\",\"id\":\"c\x01\"}\n"
      "{\"action\":\"jump\",\"id\":[\"d\re\"]}\n"
      "\xEF\xBB\xBF{\"action\":\"status\",\"action\":\"flash\",\"id\":4}\n"
      "\xEF\xBB\xBF{\"action\":\"flash\",\"id\":5}\n");
  const auto lines = client.takeLines(5);
  ASSERT_EQ(lines.size(), 5u);
  const QJsonValue ids[] = {QStringLiteral("a\tb"), QStringLiteral("c\x01"),
                            QJsonArray{QStringLiteral("d\re")}, 4, 5};
  for (std::size_t i = 0; i < lines.size(); ++i) {
    QJsonParseError error{};
    const QJsonObject answer = QJsonDocument::fromJson(lines[i], &error).object();
    EXPECT_EQ(error.error, QJsonParseError::NoError) << lines[i].data();
    EXPECT_FALSE(std::any_of(lines[i].cbegin(), lines[i].cend() - 1, [](char c) {
      return static_cast<unsigned char>(c) < 0x20;
    })) << lines[i].data();
    EXPECT_EQ(answer.value(QStringLiteral("id")), ids[i]) << lines[i].data();
  }
  EXPECT_EQ(kindOf(QJsonDocument::fromJson(lines[3]).object()), QStringLiteral("bad-request"));
  ASSERT_EQ(host.received.size(), 3u);
  EXPECT_EQ(host.received[2].action, Action::Flash);
}

TEST_F(Endpoint, OverlongLinesAreAnsweredAndSkippedWithoutBeingHeld) {
  host.answerAtOnce = true;
  EndpointClient client(path());
  ASSERT_TRUE(client.connected());
  // Just over the limit, then 2 MiB without a line feed in pieces, then a good request.
  client.send(QByteArray(service::kMaxRequestBytes + 2, 'a') + '\n');
  for (int i = 0; i < 32; ++i) client.send(QByteArray(64 * 1024, '{'));
  client.send("\n{\"action\":\"status\",\"id\":2}\n");
  const auto answers = client.take(3);
  ASSERT_EQ(answers.size(), 3u);
  EXPECT_EQ(kindOf(answers[0]), QStringLiteral("bad-request"));
  EXPECT_EQ(kindOf(answers[1]), QStringLiteral("bad-request"));
  EXPECT_EQ(answers[2].value(QStringLiteral("id")).toInt(), 2);
  ASSERT_EQ(host.received.size(), 1u);

  // A request of exactly the limit is taken.
  QByteArray padded = "{\"action\":\"status\",\"id\":3,\"pad\":\"\"}";
  padded.insert(padded.size() - 2, QByteArray(service::kMaxRequestBytes - padded.size(), ' '));
  ASSERT_EQ(padded.size(), service::kMaxRequestBytes);
  client.send(padded + "\r\n");
  const auto last = client.take(1);
  ASSERT_EQ(last.size(), 1u);
  EXPECT_EQ(last[0].value(QStringLiteral("id")).toInt(), 3);
}

TEST_F(Endpoint, SilentHalfWrittenAndVanishingClientsHoldNobodyUp) {
  EndpointClient silent(path());
  EndpointClient halfWritten(path());
  halfWritten.send("{\"action\":\"fla");
  {
    EndpointClient leaving(path());
    leaving.send("{\"action\":\"shutter\",\"id\":1}\n");
    ASSERT_TRUE(spinUntil([&] { return host.received.size() == 1; }));
  }
  // The request of the client that left still runs to its end; a failure of it is still shown.
  spinFor(20);
  QSignalSpy shown(&endpoint, &service::LocalEndpoint::requestFailed);
  Result failed;
  failed.ok = false;
  failed.message = QStringLiteral("the relay module did not answer");
  host.finish(failed);
  ASSERT_TRUE(spinUntil([&] { return shown.size() == 1; }));

  host.answerAtOnce = true;
  EndpointClient next(path());
  next.send("{\"action\":\"status\",\"id\":7}\n");
  const auto answers = next.take(1, 1000);
  ASSERT_EQ(answers.size(), 1u);
  EXPECT_EQ(answers[0].value(QStringLiteral("id")).toInt(), 7);
  EXPECT_TRUE(silent.connected());
  EXPECT_TRUE(spinUntil([&] { return endpoint.clients() == 3; }));
}

// As `printf '...' | socat - UNIX-CONNECT:...` does: send, shut the sending side, read.
TEST_F(Endpoint, AClientThatShutsItsSendingSideStillGetsItsAnswers) {
  const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, path().toLocal8Bit().constData(), sizeof address.sun_path - 1);
  ASSERT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  // A bad request first: answered at once, as the connection closes, it must not be lost.
  const std::string requests =
      "{\"action\":\"open\",\"port\":1.5,\"id\":0}\n"
      "{\"action\":\"shutter\",\"id\":1}\n{\"action\":\"status\",\"id\":2}";
  ASSERT_EQ(::write(fd, requests.data(), requests.size()), static_cast<ssize_t>(requests.size()));
  ::shutdown(fd, SHUT_WR);
  ASSERT_TRUE(spinUntil([&] { return host.received.size() == 2; }));
  spinFor(20);
  host.finish();
  host.finish();
  std::string answers;
  spinUntil([&] {
    char buffer[4096];
    const ssize_t n = ::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
    if (n > 0) answers.append(buffer, static_cast<std::size_t>(n));
    return n == 0;  // the endpoint closed its side once both were answered
  });
  ::close(fd);
  EXPECT_NE(answers.find("{\"id\":0,"), std::string::npos) << answers;
  EXPECT_NE(answers.find("\"id\":1"), std::string::npos) << answers;
  EXPECT_NE(answers.find("\"id\":2"), std::string::npos) << answers;
  EXPECT_TRUE(spinUntil([&] { return endpoint.clients() == 0; }));
}

TEST_F(Endpoint, AHundredClientsAtOnceAreAllAnswered) {
  host.answerAtOnce = true;
  std::vector<std::unique_ptr<EndpointClient>> clients;
  for (int i = 0; i < 100; ++i) {
    clients.push_back(std::make_unique<EndpointClient>(path()));
    clients.back()->send(QStringLiteral("{\"action\":\"flash\",\"id\":%1}\n").arg(i).toUtf8());
  }
  for (int i = 0; i < 100; ++i) {
    const auto answers = clients[i]->take(1);
    ASSERT_EQ(answers.size(), 1u) << "client " << i;
    EXPECT_EQ(answers[0].value(QStringLiteral("id")).toInt(), i);
  }
  EXPECT_EQ(host.received.size(), 100u);
}

TEST_F(Endpoint, ANameInUseIsRefusedAndAStaleSocketIsReplaced) {
  HeldHost other;
  service::LocalEndpoint second(other);
  EXPECT_FALSE(second.listen(QStringLiteral("test")));
  EXPECT_TRUE(second.errorString().contains(QStringLiteral("in use")))
      << second.errorString().toStdString();
  // The first one still serves.
  host.answerAtOnce = true;
  EndpointClient client(path());
  client.send("{\"action\":\"status\"}\n");
  EXPECT_EQ(client.take(1).size(), 1u);

  // A socket file nobody listens on any more, as a crashed panel leaves it.
  const QByteArray stale = service::LocalEndpoint::address(QStringLiteral("stale")).toLocal8Bit();
  const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, stale.constData(), sizeof address.sun_path - 1);
  ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ::close(fd);
  EXPECT_TRUE(second.listen(QStringLiteral("stale"))) << second.errorString().toStdString();

  // A file of the socket's name that is no socket is someone else's: left as it is.
  QFile file(service::LocalEndpoint::address(QStringLiteral("notes")));
  ASSERT_TRUE(file.open(QIODevice::WriteOnly));
  file.write("keep me");
  file.close();
  service::LocalEndpoint third(other);
  EXPECT_FALSE(third.listen(QStringLiteral("notes")));
  EXPECT_TRUE(third.errorString().contains(QStringLiteral("not a socket")))
      << third.errorString().toStdString();
  ASSERT_TRUE(file.open(QIODevice::ReadOnly));
  EXPECT_EQ(file.readAll(), QByteArray("keep me"));

  for (const char* bad : {"", "../up", "a/b", ".hidden", "sp ace"}) {
    service::LocalEndpoint refused(other);
    EXPECT_FALSE(refused.listen(QString::fromLatin1(bad))) << bad;
  }
}

}  // namespace
