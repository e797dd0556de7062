#include "RecentIds.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <utility>

namespace service {

RecentIds::RecentIds(Clock now) : now_(std::move(now)) {}

QString RecentIds::keyOf(const QJsonValue& id) {
  // The id's JSON text: 7 and "7" are two ids.
  return QString::fromUtf8(QJsonDocument(QJsonArray{id}).toJson(QJsonDocument::Compact));
}

void RecentIds::forget() {
  const auto now = now_();
  while (!order_.empty() &&
         (now - order_.front().at > kWindow || order_.size() > kMostRemembered)) {
    seen_.remove(order_.front().key);
    order_.pop_front();
  }
}

bool RecentIds::repeated(const QJsonValue& id, const Reply& reply, bool waitForRunning) {
  if (id.isUndefined()) return false;
  const QString key = keyOf(id);
  forget();
  if (const auto it = seen_.find(key); it != seen_.end()) {
    if (it->answer) {
      if (reply) reply(*it->answer);
    } else if (waitForRunning && reply) {
      it->waiting.push_back(reply);
    }
    return true;
  }
  seen_.insert(key, {});
  order_.push_back({now_(), key});
  forget();
  return false;
}

void RecentIds::answered(const QJsonValue& id, const QByteArray& answer) {
  if (id.isUndefined()) return;
  const auto it = seen_.find(keyOf(id));
  if (it == seen_.end()) return;
  it->answer = answer;
  // A waiting reply may come back here through a repeat of its own: take them out first.
  const std::vector<Reply> waiting = std::exchange(it->waiting, {});
  for (const Reply& reply : waiting) reply(answer);
}

}  // namespace service
