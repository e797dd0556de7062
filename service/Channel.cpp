#include "Channel.h"

#include <memory>

namespace service {

Channel::Channel(RigHost& host, Origin origin, QObject* replies)
    : host_(&host), replies_(replies), origin_(origin) {}

Reply* Channel::take(const ParsedRequest& parsed, QObject* context, const Answer& answer,
                     const Answer& started) {
  if (!parsed.request) {
    answer(badRequestText(parsed));
    return nullptr;
  }
  Request request = *parsed.request;
  request.origin = origin_;
  // A repeat of a request not yet answered gets its answer when it comes: the client retrying
  // after a lost answer (on the broker, the publisher's second copy) is answered too.
  if (recent_.repeated(request.idText, answer, true)) return nullptr;
  if (!host_) return nullptr;
  request.ticket = std::make_shared<Ticket>();
  if (started) {
    request.ticket->onStart = [context = QPointer<QObject>(context), started,
                               text = startNotice(request)] {
      if (context) started(text);
    };
  }
  Reply* reply = host_->send(request, replies_ ? replies_.data() : context);
  QObject::connect(reply, &Reply::finished, context, [this, reply, answer] {
    const Request& asked = reply->request();
    // Withdrawn: answered then.
    if (asked.ticket->withdrawn()) return;
    const QByteArray text = answerText(
        asked, reply->result(), asked.action == Action::Status ? statusExtra_ : QJsonObject());
    recent_.answered(asked.idText, text);
    answer(text);
  });
  return reply;
}

std::optional<QByteArray> Channel::withdraw(const Reply* reply, bool endSeries) {
  const Request& request = reply->request();
  if (reply->isFinished() || request.ticket->withdrawn() || !request.ticket->withdraw(endSeries)) {
    return std::nullopt;
  }
  Result result = notRun(request.action, QStringLiteral("withdrawn by its client"));
  if (host_) result.state = host_->state();
  const QByteArray text = answerText(request, result);
  recent_.answered(request.idText, text);
  recent_.release(request.idText);
  return text;
}

bool Channel::awaited(const Reply* reply) const { return recent_.awaited(reply->request().idText); }

}  // namespace service
