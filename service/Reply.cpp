#include "Reply.h"

#include <QPointer>
#include <utility>

#include "RigHost.h"

namespace service {

Reply::Reply(Request request, QObject* parent) : QObject(parent), request_(std::move(request)) {}

std::optional<rig::Failure> Reply::error() const {
  if (!finished_ || result_.ok) return std::nullopt;
  return result_.failure;
}

void Reply::finish(const Result& result) {
  if (finished_) return;
  finished_ = true;
  result_ = result;
  emit finished();
  deleteLater();
}

Reply* RigHost::send(const Request& request, QObject* parent) {
  auto* reply = new Reply(request, parent);
  submit(request, [reply = QPointer<Reply>(reply)](const Result& result) {
    if (reply) reply->finish(result);
  });
  return reply;
}

}  // namespace service
