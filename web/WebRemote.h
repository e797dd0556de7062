#pragma once

#include <QAbstractHttpServer>
#include <QByteArray>
#include <QPointer>
#include <QString>
#include <QTimer>
#include <cstdio>
#include <memory>
#include <vector>

#include "WebOptions.h"
#include "service/Channel.h"
#include "service/Done.h"
#include "service/RigHost.h"
#include "session/Session.h"

class QTcpSocket;
class QHttpServerResponder;

namespace service {
class LocalEndpoint;
}

namespace web {

// The phone remote: one page with the rig's buttons, following the state live, and its API
// (POST /api/request takes the local socket's JSON request and gives its answer, GET /api/state,
// GET /api/events pushes each state as a server-sent event). Requests go to the rig host like
// every other channel's.
//
// Only the holder of the access token gets anything: every request bears it (a cookie set by the
// first visit to the URL with ?token=, or "Authorization: Bearer"), and an action's POST that
// comes from another site's page, or names a host other than the one listened on, is refused.
// Clients beyond kMostClients, requests beyond kMostRequestBytes and clients that do not finish
// a request in time are dropped. A connection that has not shown the token gets its answer and
// is closed, and one that has not yet made a request gives its slot up to a newcomer when all are
// taken: strangers cannot lock the photographer's phone out. `Connection: close` and HTTP/1.0
// are answered, then closed. A client that shuts its sending side after a POST still gets the
// answer; only a connection that is really gone withdraws its request.
class WebRemote : public QAbstractHttpServer {
  Q_OBJECT

 public:
  static constexpr int kMostClients = 64;
  // Longest request body taken; longer ones are refused with 413.
  static constexpr qsizetype kMostBodyBytes = 4096;
  // A request's bytes at most, headers included; a client sending more is dropped.
  static constexpr qint64 kMostRequestBytes = 16384;
  // Time a client has to send a whole request, from its connection or its last answer.
  static constexpr int kRequestDeadlineMs = 10000;
  // How often a POST whose client shut its sending side is checked for being really gone.
  static constexpr int kGoneCheckMs = 50;
  // How often a page's event stream hears from us, so that it notices a lost link.
  static constexpr int kPingMs = 10000;
  // Events a page leaves unread before it is dropped.
  static constexpr qint64 kMostUnread = 1 << 20;
  // The token's cookie is named after the port ("quillmar-token-8080"): cookies are shared by
  // every port of a host, and two rigs' pages on one computer must not overwrite each other's.
  static constexpr const char* kCookie = "quillmar-token";
  // How long the cookie lasts, renewed on each visit of the page: a bookmark keeps working.
  static constexpr int kCookieSeconds = 30 * 24 * 3600;

  WebRemote(service::RigHost& host, WebSettings settings, QObject* parent = nullptr);
  ~WebRemote() override;

  // Makes the token (or reads it) and starts listening; not done, with the reason, when it
  // cannot.
  service::Done listen();
  // The reason the last listen gave; empty after one that listened.
  QString errorString() const { return error_; }
  quint16 port() const;
  QString token() const { return token_; }
  // The page's address with its token: http://ADDRESS:PORT/?token=...
  QString url() const;
  int clients() const { return clients_; }

  // For both programs: makes the remote, starts it, prints its URL on `out` (and a QR code of
  // it when `out` is a terminal), and puts the URL and token in `endpoint`'s status answers (when
  // there is one). The remote goes into `remote`; not done when it cannot listen.
  static service::Done start(service::RigHost& host, const WebSettings& settings,
                             service::LocalEndpoint* endpoint, std::unique_ptr<WebRemote>& remote,
                             std::FILE* out = stderr);
  // The same, as a channel of a session's start.
  static service::SessionSettings::Channel channel(const WebSettings& settings);

 protected:
  bool handleRequest(const QHttpServerRequest& request, QTcpSocket* socket) override;
  void missingHandler(const QHttpServerRequest& request, QTcpSocket* socket) override;

 private:
  class Listener;
  class Guard;
  class Waiting;
  struct Stream {
    QPointer<QTcpSocket> socket;
    std::shared_ptr<QHttpServerResponder> responder;
  };

  // listen()'s steps; listen() keeps the reason for errorString().
  service::Done listenNow();
  QByteArray cookieName() const;
  // The cookie's header, set on the first visit and renewed on every later one.
  QByteArray cookieHeader() const;
  bool authorized(const QHttpServerRequest& request) const;
  // Whether the request names this host, and, unless it is `navigation` (loading the page, which
  // runs nothing), comes from this site's own page.
  bool sameSite(const QHttpServerRequest& request, bool navigation) const;
  // Whether the connection stays open after this request's answer: not after
  // `Connection: close`, nor after HTTP/1.0 without `Connection: keep-alive`.
  static bool keepsOpen(const QHttpServerRequest& request, const Guard* guard);
  // Drops the oldest connection that has not shown the token; false when there is none.
  bool dropStranger();
  void serveRequest(const QHttpServerRequest& request, QTcpSocket* socket, bool closing);
  void openStream(const QHttpServerRequest& request, QTcpSocket* socket);
  void push(const QByteArray& event);
  QByteArray stateJson() const;

  QPointer<service::RigHost> host_;
  WebSettings settings_;
  Listener* listener_ = nullptr;
  QString token_;
  QString error_;
  QString rigName_;
  int clients_ = 0;
  // The connections counted in clients_, oldest first.
  std::vector<Guard*> guards_;
  // The requests' way in; a repeated id is one of any phone's.
  service::Channel channel_;
  std::vector<Stream> streams_;
  QTimer ping_;
};

// `text` as a QR code drawn with block characters, two rows of modules a line, with its quiet
// zone; empty when it cannot be encoded.
QString terminalQr(const QString& text);

}  // namespace web
