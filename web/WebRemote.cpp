#include "WebRemote.h"

#include <qrencode.h>

#include <QFile>
#include <QHttpServerRequest>
#include <QHttpServerResponder>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkInterface>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QSocketNotifier>
#include <QSysInfo>
#include <QTcpServer>
#include <QTcpSocket>
#include <QUrlQuery>
#include <array>
#include <functional>
#include <optional>

#ifdef Q_OS_UNIX
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#endif

#include "endpoint/LocalEndpoint.h"
#include "rig/Labels.h"
#include "service/PeerGone.h"

namespace web {

namespace {

using Status = QHttpServerResponder::StatusCode;

// 256 random bits, twice what guessing needs to be hopeless.
constexpr int kTokenBytes = 32;
// An event stream's first words: reconnect a second after a lost link.
const QByteArray kStreamStart = QByteArrayLiteral("retry: 1000\n\n");

QByteArray compact(const QJsonObject& object) {
  return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

QJsonObject failure(const char* kind, const QString& message) {
  return service::errorAnswer(QLatin1String(kind), message);
}

// Compares in a time that does not tell how much of a guess was right.
bool sameToken(QByteArrayView given, QByteArrayView token) {
  if (given.size() != token.size() || token.isEmpty()) return false;
  unsigned char difference = 0;
  for (qsizetype i = 0; i < token.size(); ++i) {
    difference |= static_cast<unsigned char>(given[i] ^ token[i]);
  }
  return difference == 0;
}

// Writes the whole answer and hands it to the system at once: Qt drops what it still holds when
// the client's input ends, and a client that has shut its sending side still waits for it.
void send(QHttpServerResponder& responder, Status status, QHttpServerResponder::HeaderList headers,
          const QByteArray& body, bool closing) {
  responder.writeStatusLine(status);
  responder.writeHeaders(headers);
  responder.writeHeader("Content-Length", QByteArray::number(body.size()));
  if (closing) responder.writeHeader("Connection", "close");
  responder.writeBody(body);
  if (QTcpSocket* socket = responder.socket()) socket->flush();
}

void respond(QHttpServerResponder& responder, const QByteArray& json, Status status, bool closing) {
  send(responder, status,
       {{"Content-Type", "application/json"},
        {"Cache-Control", "no-store"},
        {"X-Content-Type-Options", "nosniff"}},
       json, closing);
}

void respond(QHttpServerResponder&& responder, const QJsonObject& object, Status status,
             bool closing) {
  respond(responder, compact(object), status, closing);
}

// The head of a POST's answer, sent ahead of it to a client that shut its sending side: such an
// answer is 200 whatever the rig says, and its body ends with the connection.
const QByteArray kLateHead = QByteArrayLiteral(
    "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nCache-Control: no-store\r\n"
    "X-Content-Type-Options: nosniff\r\nConnection: close\r\n\r\n");

QByteArray hostText(const QHostAddress& address) {
  return address.protocol() == QAbstractSocket::IPv6Protocol
             ? '[' + address.toString().toLatin1() + ']'
             : address.toString().toLatin1();
}

}  // namespace

// Keeps count of a connection and drops it when it sends too much or takes too long over a
// request; remembers whether it has shown the token and which HTTP version it speaks. A child of
// its socket.
class WebRemote::Guard : public QObject {
 public:
  Guard(WebRemote& remote, QTcpSocket* socket) : QObject(socket), remote_(remote) {
    ++remote_.clients_;
    remote_.guards_.push_back(this);
    deadline_.setSingleShot(true);
    deadline_.setInterval(kRequestDeadlineMs);
    connect(&deadline_, &QTimer::timeout, this, &Guard::drop);
    // Connected before the server reads: it sees every byte as it comes.
    connect(socket, &QTcpSocket::readyRead, this, [this, socket] {
      if (startOfRequest_) readVersion(socket);
      received_ += socket->bytesAvailable();
      if (received_ > kMostRequestBytes) drop();
    });
    deadline_.start();
  }
  ~Guard() override { release(); }
  Guard(const Guard&) = delete;
  Guard& operator=(const Guard&) = delete;

  static Guard* of(QTcpSocket* socket) {
    for (QObject* child : socket->children()) {
      if (auto* guard = dynamic_cast<Guard*>(child)) return guard;
    }
    return nullptr;
  }
  // A whole request came: it is answered in its own time.
  void begin() {
    deadline_.stop();
    received_ = 0;
  }
  // Answered: the next request has its time from now.
  void end() {
    startOfRequest_ = true;
    deadline_.start();
  }
  // The connection has shown the token: it keeps its slot while it is used.
  void trust() { trusted_ = true; }
  bool trusted() const { return trusted_; }
  bool oldHttp() const { return oldHttp_; }
  void drop() {
    release();
    auto* socket = static_cast<QTcpSocket*>(parent());
    socket->abort();
    socket->deleteLater();
  }

 private:
  // Qt's request does not tell the version: it is read from the request line as it comes.
  void readVersion(QTcpSocket* socket) {
    constexpr qint64 kLongestLine = 8192;
    const QByteArray head = socket->peek(kLongestLine);
    const qsizetype end = head.indexOf('\n');
    if (end < 0 && head.size() < kLongestLine) return;
    oldHttp_ = head.first(end < 0 ? head.size() : end).trimmed().endsWith("HTTP/1.0");
    startOfRequest_ = false;
  }
  // Counted off as it goes, or at once when dropped: its slot is free for the next one.
  void release() {
    if (!counted_) return;
    counted_ = false;
    --remote_.clients_;
    std::erase(remote_.guards_, this);
  }

  WebRemote& remote_;
  QTimer deadline_;
  qint64 received_ = 0;
  bool counted_ = true;
  bool trusted_ = false;
  bool oldHttp_ = false;
  bool startOfRequest_ = true;
};

// Turns away connections beyond kMostClients before the server sees them, unless a stranger's
// slot can be given to the newcomer.
class WebRemote::Listener : public QTcpServer {
 public:
  Listener(WebRemote& remote) : remote_(remote) {}

 protected:
  void incomingConnection(qintptr descriptor) override {
    auto* socket = new QTcpSocket(this);
    if (!socket->setSocketDescriptor(descriptor)) {
      delete socket;
      return;
    }
    if (remote_.clients_ >= kMostClients && !remote_.dropStranger()) {
      socket->abort();
      delete socket;
      return;
    }
    new Guard(remote_, socket);
    addPendingConnection(socket);
  }

 private:
  WebRemote& remote_;
};

// A POST waiting for the rig's answer. Qt closes a connection when the client's input ends, but
// a client that only shut its sending side (curl reading a pipe, `nc -N`) still waits for the
// answer: it goes through a duplicate of the connection. Which of the two it was shows when the
// answer's head is sent ahead: a client really gone answers with a reset, and only then is the
// request withdrawn.
class WebRemote::Waiting : public QObject {
 public:
  Waiting(WebRemote& remote, QHttpServerResponder responder, QTcpSocket* socket, bool closing)
      : QObject(&remote), responder_(std::move(responder)), socket_(socket), closing_(closing) {
#ifdef Q_OS_UNIX
    later_ = ::fcntl(static_cast<int>(socket->socketDescriptor()), F_DUPFD_CLOEXEC, 0);
#endif
    watch_.setInterval(kGoneCheckMs);
    connect(&watch_, &QTimer::timeout, this, [this] {
      if (hungUp()) leave();
    });
    connect(socket, &QTcpSocket::disconnected, this, &Waiting::closed);
  }
  ~Waiting() override {
#ifdef Q_OS_UNIX
    if (later_ >= 0) ::close(later_);
#endif
  }
  Waiting(const Waiting&) = delete;
  Waiting& operator=(const Waiting&) = delete;

  // What a client that has gone does to its request.
  void onGone(std::function<void()> withdraw) { withdraw_ = std::move(withdraw); }

  void answer(const QByteArray& json, Status status) {
    if (answered_) return;
    answered_ = true;
    watch_.stop();
    if (socket_ && socket_->state() == QAbstractSocket::ConnectedState) {
      respond(responder_, json, status, closing_);
      if (closing_) {
        socket_->disconnectFromHost();
      } else if (Guard* guard = Guard::of(socket_)) {
        guard->end();
      }
      deleteLater();
    } else if (headSent_ && !gone_ && !hungUp()) {
      queue(json);
    } else {
      deleteLater();
    }
  }

 private:
  void closed() {
    if (answered_ || gone_) return;
    if (hungUp()) {
      leave();
      return;
    }
    headSent_ = true;
    queue(kLateHead);
    watch_.start();
  }

  void leave() {
    gone_ = true;
    watch_.stop();
    if (withdraw_) withdraw_();
    if (answered_) deleteLater();
  }

  bool hungUp() const { return service::peerGone(later_); }

  // Written as the client takes it, without ever waiting; the connection ends after the answer.
  void queue(const QByteArray& bytes) {
#ifdef Q_OS_UNIX
    unsent_ += bytes;
    if (!writable_) {
      writable_ = new QSocketNotifier(later_, QSocketNotifier::Write, this);
      connect(writable_, &QSocketNotifier::activated, this, &Waiting::writeOut);
      // A client that stops reading is not waited for without end.
      QTimer::singleShot(kRequestDeadlineMs, this, &QObject::deleteLater);
    }
    writeOut();
#else
    Q_UNUSED(bytes);
#endif
  }

  void writeOut() {
#ifdef Q_OS_UNIX
    while (!unsent_.isEmpty()) {
      const ssize_t sent =
          ::send(later_, unsent_.constData(), static_cast<std::size_t>(unsent_.size()),
                 MSG_NOSIGNAL | MSG_DONTWAIT);
      if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) break;
      if (sent <= 0) {
        // The client went away meanwhile.
        unsent_.clear();
        if (!answered_) leave();
        deleteLater();
        return;
      }
      unsent_.remove(0, sent);
    }
    writable_->setEnabled(!unsent_.isEmpty());
    if (unsent_.isEmpty() && answered_) deleteLater();
#endif
  }

  QHttpServerResponder responder_;
  QPointer<QTcpSocket> socket_;
  bool closing_;
  int later_ = -1;
  QTimer watch_;
  std::function<void()> withdraw_;
  QSocketNotifier* writable_ = nullptr;
  QByteArray unsent_;
  bool answered_ = false;
  bool headSent_ = false;
  bool gone_ = false;
};

WebRemote::WebRemote(service::RigHost& host, WebSettings settings, QObject* parent)
    : QAbstractHttpServer(parent),
      host_(&host),
      settings_(std::move(settings)),
      rigName_(QSysInfo::machineHostName().section(QLatin1Char('.'), 0, 0)),
      channel_(host, service::Origin::Web) {
  connect(&host, &service::RigHost::stateChanged, this,
          [this] { push("data: " + stateJson() + "\n\n"); });
  ping_.setInterval(kPingMs);
  connect(&ping_, &QTimer::timeout, this,
          [this] { push(QByteArrayLiteral("event: ping\ndata: {}\n\n")); });
}

WebRemote::~WebRemote() {
  // The connections count themselves off here as they go: they go first, while all is whole.
  delete listener_;
}

service::Done WebRemote::listen() {
  service::Done listening = listenNow();
  error_ = listening.reason();
  return listening;
}

service::Done WebRemote::listenNow() {
  if (settings_.tokenFile.isEmpty() && settings_.token.isEmpty()) {
    std::array<quint32, kTokenBytes / 4> words{};
    QRandomGenerator::system()->fillRange(words.data(), words.size());
    token_ = QString::fromLatin1(
        QByteArray(reinterpret_cast<const char*>(words.data()), kTokenBytes)
            .toBase64(QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals));
  } else if (!settings_.token.isEmpty()) {
    token_ = settings_.token;
  } else if (service::Done read = readTokenFile(settings_.tokenFile, token_); !read) {
    return read;
  }
  listener_ = new Listener(*this);
  listener_->setParent(this);
  if (!listener_->listen(settings_.address, settings_.port)) {
    const QString why = QStringLiteral("--web: cannot listen on %1:%2: %3")
                            .arg(QString::fromLatin1(hostText(settings_.address)))
                            .arg(settings_.port)
                            .arg(listener_->errorString());
    delete listener_;
    listener_ = nullptr;
    return service::Done::no(why);
  }
  bind(listener_);
  ping_.start();
  return {};
}

QByteArray WebRemote::cookieName() const {
  return QByteArray(kCookie) + '-' + QByteArray::number(port());
}

QByteArray WebRemote::cookieHeader() const {
  return cookieName() + '=' + token_.toLatin1() +
         "; Max-Age=" + QByteArray::number(kCookieSeconds) + "; Path=/; HttpOnly; SameSite=Strict";
}

quint16 WebRemote::port() const { return listener_ != nullptr ? listener_->serverPort() : 0; }

QString WebRemote::url() const {
  QHostAddress shown = settings_.address;
  if (shown == QHostAddress::AnyIPv4 || shown == QHostAddress::AnyIPv6 ||
      shown == QHostAddress::Any) {
    // Listening everywhere: the phone wants an address of the studio's network.
    shown = QHostAddress(QHostAddress::LocalHost);
    for (const QHostAddress& address : QNetworkInterface::allAddresses()) {
      if (address.protocol() == QAbstractSocket::IPv4Protocol && !address.isLoopback()) {
        shown = address;
        break;
      }
    }
  }
  return QStringLiteral("http://%1:%2/?token=%3")
      .arg(QString::fromLatin1(hostText(shown)))
      .arg(port())
      .arg(token_);
}

service::SessionSettings::Channel WebRemote::channel(const WebSettings& settings) {
  return {QStringLiteral("phone remote"),
          [settings](service::RigService& rig, service::LocalEndpoint& endpoint,
                     std::unique_ptr<QObject>& channel) {
            std::unique_ptr<WebRemote> remote;
            service::Done started = start(rig, settings, &endpoint, remote);
            channel = std::move(remote);
            return started;
          }};
}

service::Done WebRemote::start(service::RigHost& host, const WebSettings& settings,
                               service::LocalEndpoint* endpoint, std::unique_ptr<WebRemote>& remote,
                               std::FILE* out) {
  remote = std::make_unique<WebRemote>(host, settings);
  if (service::Done listening = remote->listen(); !listening) {
    remote.reset();
    return listening;
  }
  const QString url = remote->url();
  // The code is for eyes on a terminal, not for a log.
  bool terminal = true;
#ifdef Q_OS_UNIX
  terminal = ::isatty(::fileno(out)) != 0;
#endif
  std::fprintf(out, "phone remote: %s\n%s", url.toLocal8Bit().constData(),
               terminal ? terminalQr(url).toUtf8().constData() : "");
  std::fflush(out);
  if (endpoint != nullptr) {
    endpoint->setStatusExtra(QJsonObject{
        {QStringLiteral("web"),
         QJsonObject{{QStringLiteral("url"), url}, {QStringLiteral("token"), remote->token()}}}});
  }
  return {};
}

QByteArray WebRemote::stateJson() const {
  QJsonObject object{{QStringLiteral("rig"), rigName_}};
  if (host_) object.insert(QStringLiteral("state"), service::toJson(host_->state()));
  return compact(object);
}

bool WebRemote::authorized(const QHttpServerRequest& request) const {
  const QByteArray token = token_.toLatin1();
  const QByteArray authorization = request.value("Authorization").trimmed();
  if (authorization.size() > 7 && authorization.first(7).toLower() == "bearer ") {
    return sameToken(authorization.mid(7).trimmed(), token);
  }
  for (const QByteArray& cookie : request.value("Cookie").split(';')) {
    const qsizetype equals = cookie.indexOf('=');
    if (equals > 0 && cookie.first(equals).trimmed() == cookieName()) {
      return sameToken(cookie.mid(equals + 1).trimmed(), token);
    }
  }
  return false;
}

// The Host named must be the address listened on (any IP address when listening on all), so a
// name that a foreign page has pointed at this machine (DNS rebinding) gets nowhere; an Origin,
// when sent, must be that same host. A link from elsewhere may still open the page: the cookie
// is not sent with it, and loading the page fires nothing.
bool WebRemote::sameSite(const QHttpServerRequest& request, bool navigation) const {
  const QByteArray host = request.value("Host").trimmed().toLower();
  const QByteArray suffix = ':' + QByteArray::number(port());
  if (!host.endsWith(suffix)) return false;
  QByteArray name = host.chopped(suffix.size());
  const bool anyAddress = settings_.address == QHostAddress::AnyIPv4 ||
                          settings_.address == QHostAddress::AnyIPv6 ||
                          settings_.address == QHostAddress::Any;
  if (name == "localhost") {
    if (!anyAddress && !settings_.address.isLoopback()) return false;
  } else {
    if (name.startsWith('[') && name.endsWith(']')) name = name.mid(1, name.size() - 2);
    const QHostAddress address(QString::fromLatin1(name));
    if (address.isNull() || (!anyAddress && !address.isEqual(settings_.address))) return false;
  }
  if (navigation) return true;
  if (request.value("Sec-Fetch-Site").toLower() == "cross-site") return false;
  const QByteArray origin = request.value("Origin").trimmed().toLower();
  return origin.isEmpty() || origin == "http://" + host;
}

namespace {

// Two Content-Length headers that differ leave it open where the body ends.
bool lengthsDisagree(const QHttpServerRequest& request) {
  std::optional<QByteArray> length;
  for (const auto& [name, value] : request.headers()) {
    if (name.compare("Content-Length", Qt::CaseInsensitive) != 0) continue;
    if (length && *length != value.trimmed()) return true;
    length = value.trimmed();
  }
  return false;
}

}  // namespace

bool WebRemote::keepsOpen(const QHttpServerRequest& request, const Guard* guard) {
  bool close = false;
  bool keepAlive = false;
  for (const QByteArray& option : request.value("Connection").split(',')) {
    const QByteArray word = option.trimmed().toLower();
    close = close || word == "close";
    keepAlive = keepAlive || word == "keep-alive";
  }
  if (close) return false;
  return guard == nullptr || !guard->oldHttp() || keepAlive;
}

bool WebRemote::dropStranger() {
  for (Guard* guard : guards_) {
    if (!guard->trusted()) {
      guard->drop();
      return true;
    }
  }
  return false;
}

bool WebRemote::handleRequest(const QHttpServerRequest& request, QTcpSocket* socket) {
  Guard* guard = Guard::of(socket);
  if (guard != nullptr) guard->begin();
  const QString path = request.url().path();
  const bool get = request.method() == QHttpServerRequest::Method::Get;
  const bool post = request.method() == QHttpServerRequest::Method::Post;
  const bool allowed = authorized(request);
  const QString given = QUrlQuery(request.url()).queryItemValue(QStringLiteral("token"));
  const bool firstVisit = path == QLatin1String("/") && get && !given.isEmpty() &&
                          sameToken(given.toLatin1(), token_.toLatin1());
  if ((allowed || firstVisit) && guard != nullptr) guard->trust();
  // A client that has not shown the token is answered and let go: it holds no slot.
  bool closing = !keepsOpen(request, guard) || !(allowed || firstVisit);

  if (lengthsDisagree(request)) {
    // Where its body ends is a guess: the connection cannot be trusted with a next request.
    closing = true;
    respond(makeResponder(request, socket),
            failure("bad-request", QStringLiteral("Content-Length is given twice, differently")),
            Status::BadRequest, closing);
  } else if (!sameSite(request, path == QLatin1String("/") && get)) {
    closing = true;
    respond(makeResponder(request, socket),
            failure("forbidden", QStringLiteral("request from another site or for another host")),
            Status::Forbidden, closing);
  } else if (path == QLatin1String("/") && get) {
    QHttpServerResponder responder = makeResponder(request, socket);
    if (firstVisit) {
      // The first visit: the token goes into a cookie and out of the address bar.
      send(responder, Status::SeeOther,
           {{"Set-Cookie", cookieHeader()}, {"Location", "/"}, {"Cache-Control", "no-store"}}, {},
           closing);
    } else if (!allowed) {
      send(responder, Status::Unauthorized,
           {{"Content-Type", "text/html; charset=utf-8"}, {"Cache-Control", "no-store"}},
           QByteArrayLiteral("<!DOCTYPE html><title>Quillmar</title><p>Open the address the "
                             "program printed, with its token, or scan its QR code.</p>"),
           closing);
    } else {
      QFile page(QStringLiteral(":/web/page.html"));
      page.open(QIODevice::ReadOnly);
      // The actions' captions come from the table every channel reads, put where the page
      // asks for them.
      static const QByteArray labels = [] {
        QJsonObject captions;
        for (const rig::labels::ActionLabel& label : rig::labels::kActions) {
          captions.insert(
              QLatin1String(label.action.data(), static_cast<qsizetype>(label.action.size())),
              QLatin1String(label.button.data(), static_cast<qsizetype>(label.button.size())));
        }
        return QJsonDocument(captions).toJson(QJsonDocument::Compact);
      }();
      send(responder, Status::Ok,
           {{"Set-Cookie", cookieHeader()},
            {"Content-Type", "text/html; charset=utf-8"},
            {"Cache-Control", "no-store"},
            {"X-Content-Type-Options", "nosniff"},
            {"X-Frame-Options", "DENY"},
            {"Content-Security-Policy",
             "default-src 'self'; script-src 'unsafe-inline'; style-src "
             "'unsafe-inline'; frame-ancestors 'none'"}},
           page.readAll().replace("/*labels*/{}", labels), closing);
    }
  } else if (path != QLatin1String("/api/state") && path != QLatin1String("/api/request") &&
             path != QLatin1String("/api/events")) {
    respond(makeResponder(request, socket), failure("not-found", QStringLiteral("no such page")),
            Status::NotFound, closing);
  } else if (!allowed) {
    respond(makeResponder(request, socket),
            failure("unauthorized", QStringLiteral("the access token is missing or wrong")),
            Status::Unauthorized, closing);
  } else if (path == QLatin1String("/api/request") && post) {
    serveRequest(request, socket, closing);
    return true;
  } else if (path == QLatin1String("/api/events") && get) {
    openStream(request, socket);
    return true;
  } else if (path == QLatin1String("/api/state") && get) {
    QHttpServerResponder responder = makeResponder(request, socket);
    respond(responder, stateJson(), Status::Ok, closing);
  } else {
    respond(makeResponder(request, socket),
            failure("bad-request",
                    QStringLiteral("%1 takes %2 only")
                        .arg(path, path == QLatin1String("/api/request") ? QStringLiteral("POST")
                                                                         : QStringLiteral("GET"))),
            Status::MethodNotAllowed, closing);
  }
  if (closing) {
    socket->disconnectFromHost();
  } else if (guard != nullptr) {
    guard->end();
  }
  return true;
}

void WebRemote::missingHandler(const QHttpServerRequest& request, QTcpSocket* socket) {
  respond(makeResponder(request, socket), failure("not-found", QStringLiteral("no such page")),
          Status::NotFound, true);
  socket->disconnectFromHost();
}

void WebRemote::serveRequest(const QHttpServerRequest& request, QTcpSocket* socket, bool closing) {
  // The answer comes when the rig has run the request: it waits with its connection.
  QPointer<Waiting> waiting = new Waiting(*this, makeResponder(request, socket), socket, closing);
  auto reply = [waiting](const QByteArray& json, Status status) {
    if (waiting) waiting->answer(json, status);
  };
  const QByteArray body = request.body();
  if (body.size() > kMostBodyBytes) {
    reply(compact(service::badRequestAnswer(
              QStringLiteral("request longer than %1 bytes").arg(kMostBodyBytes))),
          Status::PayloadTooLarge);
    return;
  }
  const service::ParsedRequest parsed = service::parseRequest(body);
  const Status status = parsed.request ? Status::Ok : Status::BadRequest;
  // A phone retrying after a lost answer gets the first one's answer, when it comes.
  service::Reply* sent =
      channel_.take(parsed, this, [reply, status](const QByteArray& json) { reply(json, status); });
  if (sent == nullptr) return;
  // A connection really gone before its request starts withdraws it: it never runs, and a retry
  // under the same id runs afresh.
  waiting->onGone([this, reply, sent = QPointer<service::Reply>(sent)] {
    if (!sent || channel_.awaited(sent)) return;
    if (const auto answer = channel_.withdraw(sent)) reply(*answer, Status::Ok);
  });
}

void WebRemote::openStream(const QHttpServerRequest& request, QTcpSocket* socket) {
  auto responder = std::make_shared<QHttpServerResponder>(makeResponder(request, socket));
  // No length: the stream is the rest of the connection.
  responder->writeStatusLine(Status::Ok);
  responder->writeHeaders({{"Content-Type", "text/event-stream"},
                           {"Cache-Control", "no-store"},
                           {"X-Content-Type-Options", "nosniff"}});
  responder->writeBody(kStreamStart + "data: " + stateJson() + "\n\n");
  streams_.push_back({socket, responder});
}

void WebRemote::push(const QByteArray& event) {
  std::erase_if(streams_, [&event](const Stream& stream) {
    if (!stream.socket || stream.socket->state() != QAbstractSocket::ConnectedState) return true;
    if (stream.socket->bytesToWrite() > kMostUnread) {
      // A page that reads nothing is let go rather than fed without end.
      stream.socket->abort();
      return true;
    }
    stream.responder->writeBody(event);
    return false;
  });
}

QString terminalQr(const QString& text) {
  const QByteArray bytes = text.toUtf8();
  QRcode* code = QRcode_encodeString8bit(bytes.constData(), 0, QR_ECLEVEL_L);
  if (code == nullptr) return {};
  constexpr int kQuiet = 2;
  const int width = code->width;
  auto dark = [code, width](int x, int y) {
    if (x < 0 || y < 0 || x >= width || y >= width) return false;
    return (code->data[y * width + x] & 1) != 0;
  };
  // Light modules are drawn, dark ones left blank: a dark terminal shows the code as a phone
  // reads it from paper, and a light one still scans for most readers.
  QString out;
  for (int y = -kQuiet; y < width + kQuiet; y += 2) {
    for (int x = -kQuiet; x < width + kQuiet; ++x) {
      const bool top = !dark(x, y);
      const bool bottom = y + 1 < width + kQuiet && !dark(x, y + 1);
      out += top && bottom ? QChar(0x2588)
             : top         ? QChar(0x2580)
             : bottom      ? QChar(0x2584)
                           : QChar(' ');
    }
    out += QLatin1Char('\n');
  }
  QRcode_free(code);
  return out;
}

}  // namespace web
