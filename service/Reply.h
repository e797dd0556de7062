#pragma once

#include <QObject>
#include <optional>

#include "Requests.h"

namespace service {

// One request on its way through the rig host, made per request by RigHost::send: whoever sent
// it (a channel, a window) holds the reply and hears `finished` once, on its own thread, when
// the request has been answered. The reply deletes itself after `finished`; one whose host
// never answers (a service that ended first) goes with its parent.
class Reply : public QObject {
  Q_OBJECT

 public:
  explicit Reply(Request request, QObject* parent = nullptr);

  const Request& request() const { return request_; }
  bool isFinished() const { return finished_; }
  // The result, once finished.
  const Result& result() const { return result_; }
  // The failure it finished with; none for a success, or while it is running.
  std::optional<rig::Failure> error() const;

  // Ends the reply with `result` and tells it; once only.
  void finish(const Result& result);

 signals:
  void finished();

 private:
  Request request_;
  Result result_;
  bool finished_ = false;
};

}  // namespace service
