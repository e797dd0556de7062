#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QTest>
#include <cerrno>
#include <memory>
#include <vector>

#include "support/HeldHost.h"
#include "web/WebRemote.h"

namespace {

using service::Request;
using service::Result;

// A plain loopback socket, so that the test can shut its sending side or close it as any HTTP
// client might; it reads while the event loop runs the remote.
class Client {
 public:
  explicit Client(quint16 port) : fd_(::socket(AF_INET, SOCK_STREAM, 0)) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    connected_ = ::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  }
  ~Client() {
    if (fd_ >= 0) ::close(fd_);
  }
  Client(const Client&) = delete;
  Client& operator=(const Client&) = delete;

  bool connected() const { return connected_; }
  void send(const QByteArray& bytes) {
    ::send(fd_, bytes.constData(), static_cast<std::size_t>(bytes.size()), MSG_NOSIGNAL);
  }
  void shutWrite() { ::shutdown(fd_, SHUT_WR); }
  void close() {
    ::close(fd_);
    fd_ = -1;
  }
  // Until `answers` whole answers have come, or the server has closed the connection.
  bool waitForAnswers(int answers) {
    return QTest::qWaitFor(
        [&] {
          pump();
          return closed_ || received_.count("HTTP/1.1 ") >= answers;
        },
        15000);
  }
  bool waitForClose() {
    return QTest::qWaitFor(
        [&] {
          pump();
          return closed_;
        },
        15000);
  }
  bool closed() {
    pump();
    return closed_;
  }
  const QByteArray& received() const { return received_; }

 private:
  void pump() {
    char buffer[4096];
    while (fd_ >= 0 && !closed_) {
      const ssize_t got = ::recv(fd_, buffer, sizeof buffer, MSG_DONTWAIT);
      if (got > 0) {
        received_.append(buffer, got);
        continue;
      }
      if (got == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) closed_ = true;
      break;
    }
  }

  int fd_;
  bool connected_ = false;
  bool closed_ = false;
  QByteArray received_;
};

class Connections : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(remote.listen()) << remote.errorString().toStdString(); }

  QByteArray hostLine() const { return "Host: 127.0.0.1:" + QByteArray::number(remote.port()); }
  QByteArray bearer() const { return "Authorization: Bearer " + remote.token().toLatin1(); }
  QByteArray post(const QByteArray& body, const QByteArray& extra = {}) const {
    return "POST /api/request HTTP/1.1\r\n" + hostLine() + "\r\n" + bearer() + "\r\n" + extra +
           "Content-Type: application/json\r\nContent-Length: " + QByteArray::number(body.size()) +
           "\r\n\r\n" + body;
  }

  HeldHost host;
  web::WebRemote remote{host, web::WebSettings{}};
};

TEST_F(Connections, AClientWithoutTheTokenOrFromElsewhereIsAnsweredThenLetGo) {
  struct Case {
    const char* what;
    QByteArray request;
    const char* status;
  };
  const QByteArray host = hostLine();
  const QByteArray bearer = this->bearer();
  const Case cases[] = {
      {"no token", "GET /api/state HTTP/1.1\r\n" + host + "\r\n\r\n", "401"},
      {"a wrong token",
       "GET /api/state HTTP/1.1\r\n" + host + "\r\nAuthorization: Bearer nope\r\n\r\n", "401"},
      {"the page without a token", "GET / HTTP/1.1\r\n" + host + "\r\n\r\n", "401"},
      {"a wrong token in the address", "GET /?token=nope HTTP/1.1\r\n" + host + "\r\n\r\n", "401"},
      {"no such page, no token", "GET /favicon.ico HTTP/1.1\r\n" + host + "\r\n\r\n", "404"},
      {"another site's page",
       "GET /api/state HTTP/1.1\r\n" + host + "\r\n" + bearer +
           "\r\nOrigin: http://evil.example\r\n\r\n",
       "403"},
      {"another host",
       "GET /api/state HTTP/1.1\r\nHost: evil.example:" + QByteArray::number(remote.port()) +
           "\r\n" + bearer + "\r\n\r\n",
       "403"},
  };
  for (const Case& c : cases) {
    Client client(remote.port());
    ASSERT_TRUE(client.connected());
    client.send(c.request);
    EXPECT_TRUE(client.waitForClose()) << c.what << ": the connection stayed open";
    EXPECT_TRUE(client.received().startsWith(QByteArray("HTTP/1.1 ") + c.status))
        << c.what << ": " << client.received().first(20).toStdString();
  }
  EXPECT_TRUE(QTest::qWaitFor([&] { return remote.clients() == 0; }, 5000)) << remote.clients();
}

TEST_F(Connections, ConnectionCloseAndHttp10AreAnsweredThenClosed) {
  struct Case {
    QByteArray version;
    QByteArray connection;
    bool staysOpen;
  };
  const Case cases[] = {
      {"HTTP/1.1", "", true},
      {"HTTP/1.1", "Connection: close\r\n", false},
      {"HTTP/1.1", "Connection: Keep-Alive, Close\r\n", false},
      {"HTTP/1.0", "", false},
      {"HTTP/1.0", "Connection: keep-alive\r\n", true},
  };
  for (const Case& c : cases) {
    const std::string row = (c.version + " " + c.connection.trimmed()).toStdString();
    const QByteArray request = "GET /api/state " + c.version + "\r\n" + hostLine() + "\r\n" +
                               bearer() + "\r\n" + c.connection + "\r\n";
    Client client(remote.port());
    ASSERT_TRUE(client.connected());
    client.send(request);
    ASSERT_TRUE(client.waitForAnswers(1)) << row;
    EXPECT_TRUE(client.received().startsWith("HTTP/1.1 200")) << row;
    EXPECT_EQ(client.received().contains("Connection: close\r\n"), !c.staysOpen) << row;
    if (c.staysOpen) {
      // Open: a second request on it is answered too.
      client.send(request);
      EXPECT_TRUE(client.waitForAnswers(2)) << row;
      EXPECT_EQ(client.received().count("HTTP/1.1 200"), 2) << row;
      EXPECT_FALSE(client.closed()) << row;
    } else {
      EXPECT_TRUE(client.waitForClose()) << row;
    }
  }
  // A POST's answer, which comes later, closes its connection the same way.
  Client client(remote.port());
  client.send(post(R"({"action":"flash"})", "Connection: close\r\n"));
  ASSERT_TRUE(QTest::qWaitFor([&] { return host.held.size() == 1; }, 5000));
  host.finish();
  EXPECT_TRUE(client.waitForClose());
  EXPECT_TRUE(client.received().contains("\"action\":\"flash\"")) << client.received().data();
}

TEST_F(Connections, StrangersHoldingEverySlotCannotLockThePhoneOut) {
  // Connections that never send a request, as many as the remote takes.
  std::vector<std::unique_ptr<Client>> strangers;
  for (int i = 0; i < web::WebRemote::kMostClients; ++i) {
    strangers.push_back(std::make_unique<Client>(remote.port()));
    // Taken in as they come, as a running program does, not left in the system's backlog.
    QCoreApplication::processEvents();
  }
  ASSERT_TRUE(
      QTest::qWaitFor([&] { return remote.clients() == web::WebRemote::kMostClients; }, 10000))
      << remote.clients();

  // The phone gets in, and the oldest stranger gives up its slot for it.
  Client phone(remote.port());
  phone.send("GET /api/state HTTP/1.1\r\n" + hostLine() + "\r\n" + bearer() + "\r\n\r\n");
  ASSERT_TRUE(phone.waitForAnswers(1));
  EXPECT_TRUE(phone.received().startsWith("HTTP/1.1 200")) << phone.received().data();
  EXPECT_TRUE(strangers.front()->waitForClose());
  EXPECT_FALSE(strangers.back()->closed());
  EXPECT_LE(remote.clients(), web::WebRemote::kMostClients);

  // Strangers asking without the token are let go after each answer: they hold nothing.
  strangers.clear();
  for (int i = 0; i < web::WebRemote::kMostClients; ++i) {
    strangers.push_back(std::make_unique<Client>(remote.port()));
    strangers.back()->send("POST /api/request HTTP/1.1\r\n" + hostLine() +
                           "\r\nContent-Length: 2\r\n\r\n{}");
    QCoreApplication::processEvents();
  }
  for (auto& stranger : strangers) EXPECT_TRUE(stranger->waitForClose());
  // The phone, trusted, keeps its connection and is answered again on it.
  phone.send("GET /api/state HTTP/1.1\r\n" + hostLine() + "\r\n" + bearer() + "\r\n\r\n");
  EXPECT_TRUE(phone.waitForAnswers(2));
  EXPECT_EQ(phone.received().count("HTTP/1.1 200"), 2);
  EXPECT_TRUE(host.received.empty()) << "a request without the token reached the rig";
}

TEST_F(Connections, AClientThatShutsItsSendingSideGetsItsAnswerAndWithdrawsNothing) {
  Client client(remote.port());
  client.send(post(R"({"action":"sequence","id":"half"})"));
  client.shutWrite();
  ASSERT_TRUE(QTest::qWaitFor([&] { return host.held.size() == 1; }, 5000));
  // Qt has closed its side of the connection on the end of the client's input.
  ASSERT_TRUE(QTest::qWaitFor([&] { return remote.clients() == 0; }, 5000));
  EXPECT_FALSE(host.received.front().ticket->withdrawn());
  host.finish();
  ASSERT_TRUE(client.waitForClose());
  EXPECT_FALSE(host.received.front().ticket->withdrawn());
  const QByteArray& answer = client.received();
  EXPECT_TRUE(answer.startsWith("HTTP/1.1 200")) << answer.data();
  EXPECT_TRUE(answer.contains("Connection: close\r\n")) << answer.data();
  EXPECT_TRUE(answer.endsWith("}")) << answer.data();
  EXPECT_TRUE(answer.contains(R"("id":"half")")) << answer.data();
}

TEST_F(Connections, AClientReallyGoneWithdrawsItsRequestAndARetryRunsAfresh) {
  auto client = std::make_unique<Client>(remote.port());
  client->send(post(R"({"action":"shutter","id":"gone"})"));
  ASSERT_TRUE(QTest::qWaitFor([&] { return host.held.size() == 1; }, 5000));
  client->close();
  const auto ticket = host.received.front().ticket;
  EXPECT_TRUE(QTest::qWaitFor([&] { return ticket->withdrawn(); }, 10000));

  Client retry(remote.port());
  retry.send(post(R"({"action":"shutter","id":"gone"})"));
  ASSERT_TRUE(QTest::qWaitFor([&] { return host.held.size() == 2; }, 5000))
      << "the retry of a withdrawn request was not run afresh";
  host.finish();
  host.finish();
  ASSERT_TRUE(retry.waitForAnswers(1));
  EXPECT_TRUE(retry.received().contains(R"("id":"gone")")) << retry.received().data();
}

}  // namespace
