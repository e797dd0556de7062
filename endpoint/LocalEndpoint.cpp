#include "LocalEndpoint.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLocalServer>
#include <QLocalSocket>
#include <QPointer>
#include <QRegularExpression>
#include <QStandardPaths>
#include <deque>
#include <map>
#include <optional>
#include <utility>

#ifdef Q_OS_UNIX
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include "service/Channel.h"
#include "service/PeerGone.h"

namespace service {

namespace {

// How long a socket left in place gets to show that a live process listens on it.
constexpr int kProbeMs = 1000;
// Bytes taken from a client per read: a line longer than kMaxRequestBytes is never held whole.
constexpr qint64 kReadChunk = 4096;

// The program at the far end of a connected socket, "quillmar (process 123)", so that the
// operator knows what to stop; empty when the system does not say.
QString peerProgram([[maybe_unused]] const QLocalSocket& socket) {
#ifdef Q_OS_LINUX
  ucred peer{};
  socklen_t size = sizeof peer;
  if (::getsockopt(static_cast<int>(socket.socketDescriptor()), SOL_SOCKET, SO_PEERCRED, &peer,
                   &size) != 0 ||
      peer.pid <= 0) {
    return {};
  }
  QFile comm(QStringLiteral("/proc/%1/comm").arg(peer.pid));
  const QString name = comm.open(QIODevice::ReadOnly)
                           ? QString::fromLocal8Bit(comm.readAll()).trimmed()
                           : QStringLiteral("a program");
  return QStringLiteral("%1 (process %2)").arg(name).arg(peer.pid);
#else
  return {};
#endif
}

}  // namespace

// One connection: cuts its bytes into lines, submits each request, and writes the answers back
// in the order of the request lines, whatever order they finish in.
class LocalEndpoint::Client : public QObject {
 public:
  Client(LocalEndpoint& endpoint, QLocalSocket* socket)
      : QObject(&endpoint),
        endpoint_(endpoint),
        socket_(socket),
        channel_(endpoint.host_, Origin::Socket, &endpoint) {
    channel_.setStatusExtra(endpoint.statusExtra_);
    socket_->setParent(this);
    // Qt stops reading from the system when this much is held, so a flood stays bounded.
    socket_->setReadBufferSize(4 * kReadChunk);
    connect(socket_, &QLocalSocket::readyRead, this, &Client::read);
    connect(socket_, &QLocalSocket::disconnected, this, &Client::gone);
#ifdef Q_OS_UNIX
    later_ = ::fcntl(static_cast<int>(socket_->socketDescriptor()), F_DUPFD_CLOEXEC, 0);
#endif
    ++endpoint_.clients_;
    read();
  }
  ~Client() override {
#ifdef Q_OS_UNIX
    if (later_ >= 0) ::close(later_);
#endif
    --endpoint_.clients_;
  }
  Client(const Client&) = delete;
  Client& operator=(const Client&) = delete;

  void setStatusExtra(const QJsonObject& extra) { channel_.setStatusExtra(extra); }
  // No further request lines are taken (the program is ending).
  void stopTaking() { ending_ = true; }
  void flush(int ms) {
    if (!closed_ && !dropped_ && socket_->bytesToWrite() > 0) socket_->waitForBytesWritten(ms);
  }

 private:
  void read() {
    while (socket_->bytesAvailable() > 0 && !dropped_ && !ending_) {
      const QByteArray chunk = socket_->read(kReadChunk);
      if (chunk.isEmpty()) break;
      split(chunk);
    }
  }

  void split(const QByteArray& chunk) {
    qsizetype from = 0;
    while (from < chunk.size()) {
      const qsizetype end = chunk.indexOf('\n', from);
      const qsizetype stop = end < 0 ? chunk.size() : end;
      const QByteArrayView piece(chunk.constData() + from, stop - from);
      from = end < 0 ? chunk.size() : end + 1;
      if (skipping_) {
        skipping_ = end < 0;
        continue;
      }
      // One byte of slack for a carriage return before the line feed.
      if (partial_.size() + piece.size() > kMaxRequestBytes + 1) {
        partial_.clear();
        skipping_ = end < 0;
        reserve(answerText(badRequestAnswer(
            QStringLiteral("request longer than %1 bytes, skipped").arg(kMaxRequestBytes))));
        continue;
      }
      partial_.append(piece);
      if (end >= 0) {
        take(partial_);
        partial_.clear();
      }
    }
  }

  void take(QByteArray line) {
    if (line.endsWith('\r')) line.chop(1);
    if (line.trimmed().isEmpty()) return;
    const ParsedRequest parsed = parseRequest(line);
    if (parsed.object.value(QStringLiteral("withdraw")) == QJsonValue(true) &&
        !parsed.object.contains(QStringLiteral("action"))) {
      withdrawAll(true);
      return;
    }
    if (parsed.request && waiting_ >= kMostWaiting) {
      reserve(answerText(
          badRequestAnswer(
              QStringLiteral("more than %1 requests waiting on this connection").arg(kMostWaiting),
              parsed.id),
          parsed.idText));
      return;
    }
    const quint64 slot = reserve(std::nullopt);
    const bool counted = parsed.request.has_value();
    if (counted) ++waiting_;
    const auto answer = [this, slot, counted](const QByteArray& text) {
      if (counted) --waiting_;
      unanswered_.erase(slot);
      fill(slot, text + '\n');
    };
    // Tells the client the moment its request starts (so it knows whether a withdrawal can
    // still keep it from running).
    const bool notify = parsed.object.value(QStringLiteral("notify")) == QLatin1String("start");
    const auto started = [this](const QByteArray& text) {
      if (!closed_ && !dropped_) socket_->write(text + '\n');
    };
    Reply* reply = channel_.take(parsed, this, answer, notify ? started : Channel::Answer());
    if (reply == nullptr) return;
    unanswered_.emplace(slot, reply);
    // A failure is shown also when the client has gone meanwhile; not for a request its client,
    // still there, withdrew (it was answered "not-run" then).
    connect(reply, &Reply::finished, &endpoint_,
            [endpoint = &endpoint_, reply, self = QPointer<Client>(this)] {
              const Result& result = reply->result();
              if (result.ok || (self && reply->request().ticket->withdrawn())) return;
              emit endpoint->requestFailed(
                  QStringLiteral("Remote request \"%1\": %2")
                      .arg(actionName(reply->request().action), result.message));
            });
  }

  // Keeps a place for an answer, in request order; a given answer fills it at once.
  quint64 reserve(std::optional<QByteArray> answer) {
    const quint64 slot = first_ + answers_.size();
    answers_.emplace_back();
    if (answer) fill(slot, *answer + '\n');
    return slot;
  }

  void fill(quint64 slot, QByteArray answer) {
    answers_.at(slot - first_) = std::move(answer);
    while (!answers_.empty() && answers_.front()) {
      if (!closed_) {
        // Handed to the system at once: Qt drops what it still holds when the client's end of
        // input closes the connection, and a client that shut its sending side still reads.
        socket_->write(*answers_.front());
        socket_->flush();
      } else {
        writeLater(*answers_.front());
      }
      answers_.pop_front();
      ++first_;
    }
    if (!closed_ && socket_->bytesToWrite() > kMostUnread) {
      // Nobody reads these answers: stop holding them.
      dropped_ = true;
      socket_->abort();
    }
    if (closed_ && answers_.empty()) deleteLater();
  }

  // The client withdraws its requests: those that have not started never run and are answered
  // "not-run" at once; a started one runs to its end and is answered as usual, but for an armed
  // shot still waiting (disarmed) and, when the client `asked` for it, a series (ended after its
  // step).
  void withdrawAll(bool asked = false) {
    for (auto it = unanswered_.begin(); it != unanswered_.end();) {
      const std::optional<QByteArray> answer =
          it->second ? channel_.withdraw(it->second, asked) : std::nullopt;
      if (!answer) {
        ++it;
        continue;
      }
      const quint64 slot = it->first;
      it = unanswered_.erase(it);
      --waiting_;
      fill(slot, *answer + '\n');
    }
  }

  bool hungUp() const { return service::peerGone(later_); }

  // The connection ended for Qt, which closes it on the end of the client's input: a client
  // that shuts its sending side after its requests (`printf ... | socat`) still gets the answers
  // of the requests it made, through a duplicate of the connection. A client that has gone
  // altogether withdraws the requests that have not started.
  void gone() {
    // Qt has closed the connection: an answer given at once to the last lines (a bad request)
    // goes through the duplicate too, not to the closed socket.
    closed_ = true;
    read();
    // The last line may lack its line feed.
    if (!partial_.isEmpty() && !skipping_ && !dropped_ && !ending_)
      take(std::exchange(partial_, {}));
    if (hungUp()) withdrawAll();
    if (answers_.empty()) deleteLater();
  }

  void writeLater(const QByteArray& answer) {
#ifdef Q_OS_UNIX
    // Never waits: what does not fit now is not kept for a client that may be gone.
    if (later_ >= 0 && !dropped_) {
      ::send(later_, answer.constData(), static_cast<std::size_t>(answer.size()),
             MSG_NOSIGNAL | MSG_DONTWAIT);
    }
#else
    Q_UNUSED(answer);
#endif
  }

  LocalEndpoint& endpoint_;
  QLocalSocket* socket_;
  QByteArray partial_;
  bool skipping_ = false;
  bool closed_ = false;   // Qt has closed the connection
  bool dropped_ = false;  // the endpoint cut the client off
  bool ending_ = false;   // the program is ending: no more requests
  int later_ = -1;        // the duplicate of the connection
  int waiting_ = 0;
  // Answers in request order, from slot number first_ on; empty while its request runs.
  std::deque<std::optional<QByteArray>> answers_;
  // The requests not yet answered, by slot, that a withdrawal can still keep from running.
  std::map<quint64, QPointer<Reply>> unanswered_;
  // Parses, checks and answers the requests; a repeated id is one of this connection's.
  Channel channel_;
  quint64 first_ = 0;
};

LocalEndpoint::LocalEndpoint(RigHost& host, QObject* parent)
    : QObject(parent), host_(host), server_(new QLocalServer(this)) {
  connect(server_, &QLocalServer::newConnection, this, &LocalEndpoint::accept);
}

LocalEndpoint::~LocalEndpoint() {
  // Clients count themselves off on the endpoint, so they go while it is still whole, not later
  // among the children QObject deletes.
  const QObjectList children = this->children();
  for (QObject* child : children) delete dynamic_cast<Client*>(child);
}

bool LocalEndpoint::validName(const QString& name) {
  static const QRegularExpression allowed(QStringLiteral("^[A-Za-z0-9_-][A-Za-z0-9._-]{0,63}$"));
  return allowed.match(name).hasMatch();
}

QString LocalEndpoint::address(const QString& name) {
#ifdef Q_OS_WIN
  // Pipe names are machine-wide: the user's name keeps two users' panels apart.
  return QStringLiteral("%1-%2").arg(name, qEnvironmentVariable("USERNAME"));
#else
  return QDir(QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation)).filePath(name);
#endif
}

Done LocalEndpoint::listen(const QString& name) {
  nameTaken_ = false;
  Done listening = listenAt(name);
  error_ = listening.reason();
  return listening;
}

Done LocalEndpoint::listenAt(const QString& name) {
  if (!validName(name)) {
    return Done::no(QStringLiteral("\"%1\" is not a usable name (letters, digits, '.', '_', '-')")
                        .arg(name.left(80)));
  }
  const QString path = address(name);
#ifndef Q_OS_WIN
  if (QFileInfo::exists(path) || QFileInfo(path).isSymLink()) {
    // Only a socket is ever replaced: a file or a link of that name is someone else's.
    struct stat status {};
    if (::lstat(QFile::encodeName(path).constData(), &status) == 0 && !S_ISSOCK(status.st_mode)) {
      return Done::no(QStringLiteral("%1 exists and is not a socket; it is left alone (--name "
                                     "picks another name)")
                          .arg(path));
    }
    QLocalSocket probe;
    probe.connectToServer(path);
    if (probe.waitForConnected(kProbeMs)) {
      const QString holder = peerProgram(probe);
      probe.abort();
      nameTaken_ = true;
      return Done::no(QStringLiteral("%1 is in use by %2; --name picks another name")
                          .arg(path, holder.isEmpty()
                                         ? QStringLiteral("another running panel or service")
                                         : holder));
    }
    // Nobody answers there: the socket of a process that ended without removing it.
    QLocalServer::removeServer(path);
  }
#endif
  server_->setSocketOptions(QLocalServer::UserAccessOption);
  server_->setMaxPendingConnections(kMostClients);
  if (!server_->listen(path)) {
    return Done::no(QStringLiteral("%1: %2").arg(path, server_->errorString()));
  }
  return {};
}

void LocalEndpoint::stopTaking() {
  server_->close();
  for (QObject* child : children()) {
    if (auto* client = dynamic_cast<Client*>(child)) client->stopTaking();
  }
}

void LocalEndpoint::flush(int ms) {
  for (QObject* child : children()) {
    if (auto* client = dynamic_cast<Client*>(child)) client->flush(ms);
  }
}

void LocalEndpoint::setStatusExtra(const QJsonObject& extra) {
  statusExtra_ = extra;
  for (QObject* child : children()) {
    if (auto* client = dynamic_cast<Client*>(child)) client->setStatusExtra(extra);
  }
}

bool LocalEndpoint::isListening() const { return server_->isListening(); }

void LocalEndpoint::accept() {
  while (QLocalSocket* socket = server_->nextPendingConnection()) {
    if (clients_ >= kMostClients) {
      socket->write(answerText(badRequestAnswer(
                        QStringLiteral("more than %1 clients connected; try again later")
                            .arg(kMostClients))) +
                    '\n');
      socket->disconnectFromServer();
      connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
      continue;
    }
    new Client(*this, socket);
  }
}

}  // namespace service
