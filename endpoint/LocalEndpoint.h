#pragma once

#include <QJsonObject>
#include <QObject>
#include <QString>

#include "service/Done.h"
#include "service/RigHost.h"

class QLocalServer;

namespace service {

// The rig's local control socket: one per user and name, in the user's runtime directory and
// reachable by that user alone. Clients send JSON requests, one object per line, and get one
// answer line per request line, in the order of their requests; a request's "id" comes back in
// its answer. Requests go to the host in arrival order, so clients are served in turn.
//
// Bad input is answered or dropped without holding anything up: a line that is not a request
// gets a "bad-request" answer, a line over kMaxRequestBytes is answered and skipped unread, a
// client that stops reading or floods is disconnected. A client that goes away (or sends
// {"withdraw": true}) withdraws its requests that have not started: they never run. One that has
// started runs to its end. A request with "notify": "start" is told {"started": ...} as it starts.
class LocalEndpoint : public QObject {
  Q_OBJECT

 public:
  static constexpr const char* kDefaultName = "quillmar";
  // More connections than this at once are turned away with an answer.
  static constexpr int kMostClients = 256;
  // Requests of one client not yet answered; more are answered "bad-request" at once.
  static constexpr int kMostWaiting = 256;
  // Answers a client leaves unread before it is disconnected.
  static constexpr qint64 kMostUnread = 1 << 20;

  explicit LocalEndpoint(RigHost& host, QObject* parent = nullptr);
  ~LocalEndpoint() override;

  // Whether `name` may name an endpoint: 1 to 64 letters, digits, '.', '_' or '-', not
  // starting with '.' (it becomes a file name in the runtime directory).
  static bool validName(const QString& name);
  // Where the endpoint of that name listens: the socket's path (the pipe's name on Windows).
  static QString address(const QString& name);

  // Starts listening; not done, with the reason, when it cannot. A socket left behind by a
  // process that is gone is replaced; one a live process listens on is left alone.
  service::Done listen(const QString& name = QString::fromLatin1(kDefaultName));
  bool isListening() const;
  // The reason the last listen gave; empty after one that listened.
  QString errorString() const { return error_; }
  // The last listen failed because a live process listens under that name.
  bool nameTaken() const { return nameTaken_; }
  // For the program's end: takes no new connections and no further request lines; the requests
  // taken are still answered.
  void stopTaking();
  // Waits up to `ms` for the answers written so far to be handed to the system.
  void flush(int ms);
  // The connected clients.
  int clients() const { return clients_; }
  // Fields added to every "status" answer (the phone remote's address and token).
  void setStatusExtra(const QJsonObject& extra);

 signals:
  // A client's request ran and failed: `message` names the action and says why.
  void requestFailed(const QString& message);

 private:
  class Client;
  void accept();
  // listen()'s steps; listen() keeps the reason for errorString().
  Done listenAt(const QString& name);

  RigHost& host_;
  QLocalServer* server_;
  QString error_;
  bool nameTaken_ = false;
  QJsonObject statusExtra_;
  int clients_ = 0;
};

}  // namespace service
