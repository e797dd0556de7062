#include "RecentIds.h"

#include <utility>

namespace service {

RecentIds::RecentIds(Clock now) : now_(std::move(now)) {}

void RecentIds::forget() {
  const auto now = now_();
  while (!order_.empty() &&
         (now - order_.front().at > kWindow || order_.size() > kMostRemembered)) {
    seen_.remove(order_.front().key);
    order_.pop_front();
  }
}

bool RecentIds::repeated(const QByteArray& idText, const Reply& reply, bool waitForRunning) {
  if (idText.isEmpty()) return false;
  forget();
  if (const auto it = seen_.find(idText); it != seen_.end()) {
    if (it->answer) {
      if (reply) reply(*it->answer);
    } else if (waitForRunning && reply) {
      it->waiting.push_back(reply);
    }
    return true;
  }
  seen_.insert(idText, {});
  order_.push_back({now_(), idText});
  forget();
  return false;
}

void RecentIds::answered(const QByteArray& idText, const QByteArray& answer) {
  if (idText.isEmpty()) return;
  const auto it = seen_.find(idText);
  if (it == seen_.end()) return;
  it->answer = answer;
  // A waiting reply may come back here through a repeat of its own: take them out first.
  const std::vector<Reply> waiting = std::exchange(it->waiting, {});
  for (const Reply& reply : waiting) reply(answer);
}

bool RecentIds::awaited(const QByteArray& idText) const {
  const auto it = seen_.find(idText);
  return it != seen_.end() && !it->waiting.empty();
}

void RecentIds::release(const QByteArray& idText) { seen_.remove(idText); }

}  // namespace service
