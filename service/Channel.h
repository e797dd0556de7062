#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QPointer>
#include <functional>
#include <optional>

#include "RecentIds.h"
#include "Reply.h"
#include "RigHost.h"

namespace service {

// The one way in for the requests of a channel (the local socket, the phone remote, the
// broker): each request, parsed once by the channel, is checked (a bad one is answered
// "bad-request"), a repeated "id" is answered with the first one's answer rather than run
// again (when that answer comes, for a repeat sent while the first is queued or running), and any
// other request gets a ticket and the channel's origin, goes to the rig host, and is answered with
// its result. The answers are the same JSON text on every channel; a channel keeps only its
// transport and its own rules.
//
// Ids are remembered for as long as the channel lives: a connection's (the socket) or the whole
// channel's (the phone remote, the broker).
class Channel {
 public:
  using Answer = std::function<void(const QByteArray& text)>;

  // `replies` is the parent of the requests' replies when they are to outlive the context that
  // takes them (a socket's connection, whose client may go while its request runs).
  Channel(RigHost& host, Origin origin, QObject* replies = nullptr);

  // Takes a parsed request. `answer` gets its answer's text exactly once: at once for a bad
  // request or a repeat whose first answer is known, otherwise on this thread's event loop (not
  // for a request withdrawn first). `started`, when set, gets the notice of the request's start.
  // The reply of a request sent to the host is returned (null otherwise), a child of `context`
  // (or of `replies`); it finishes with the host's result. Nothing is answered once `context`,
  // which owns this channel, is gone, nor when the host is.
  Reply* take(const ParsedRequest& parsed, QObject* context, const Answer& answer,
              const Answer& started = {});

  // The client no longer wants the request. One that has not started never runs: its answer,
  // "not-run", is returned for the channel to give at once (and to a repeat waiting for it), and
  // its id is forgotten so that a later repeat runs afresh. None when it has started (an armed
  // shot still waiting is disarmed all the same, and with `endSeries` a series ends after its
  // step: see Ticket::withdraw) or has been answered.
  std::optional<QByteArray> withdraw(const Reply* reply, bool endSeries = false);
  // Whether a repeat waits for the answer of the reply's request (its client came back).
  bool awaited(const Reply* reply) const;

  // Fields added to every "status" answer.
  void setStatusExtra(const QJsonObject& extra) { statusExtra_ = extra; }

 private:
  QPointer<RigHost> host_;
  QPointer<QObject> replies_;
  Origin origin_;
  RecentIds recent_;
  QJsonObject statusExtra_;
};

}  // namespace service
