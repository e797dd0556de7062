#include "ArmedWindows.h"

#include <QJsonObject>
#include <QMutexLocker>
#include <algorithm>
#include <utility>

#include "rig/Arming.h"

namespace service {

void ArmedWindows::setClockStatusSource(std::function<ClockStatus()> source) {
  const QMutexLocker lock(&mutex_);
  clockStatus_ = std::move(source);
}

ClockStatus ArmedWindows::clockStatus() const {
  const QMutexLocker lock(&mutex_);
  return clockStatus_();
}

std::optional<rig::Failure> ArmedWindows::arm(const Request& request,
                                              std::chrono::milliseconds length, TimePoint now,
                                              std::chrono::milliseconds lead) {
  using namespace std::chrono;
  const auto notFired = [](rig::FailureKind kind, const char* reason) {
    return rig::Failure{kind, std::nullopt, {}, reason};
  };
  const auto at = request.shot->at;
  if (at <= now) return notFired(rig::FailureKind::TooLate, "the shot's time has passed");
  if (at > now + hours(1)) {
    return notFired(rig::FailureKind::TooFarAhead, "the shot's time is more than an hour ahead");
  }
  // Decided and kept under one lock: two requests armed at once cannot both take one time.
  const QMutexLocker lock(&mutex_);
  if (!request.shot->localClock && !clockStatus_().synchronized) {
    return notFired(rig::FailureKind::ClockUnsynchronized,
                    "the system clock is not synchronized (\"clock\": \"local\" fires on it "
                    "all the same)");
  }
  // The rig is the shot's from its query (and its focus lines) ahead of its time.
  const auto from = at - duration_cast<system_clock::duration>(rig::kArmingLead + lead);
  // Too near even for an idle rig: no other action is in its way.
  if (now > from) {
    return notFired(rig::FailureKind::TooLate,
                    lead > milliseconds::zero()
                        ? "the shot's time is too near to arm for it and its focus lead"
                        : "the shot's time is too near to arm for it");
  }
  // Requests run in the order they came: this one starts only after the running one, those
  // queued and every armed one before it have ended.
  const auto freeFrom = std::max(runningUntil_.value_or(now), now) + queuedWork_;
  if (freeFrom > from) {
    return notFired(rig::FailureKind::Conflict,
                    "the running and queued actions would not have ended by then");
  }
  for (const Window& window : armed_) {
    if (from < window.to) {
      return notFired(rig::FailureKind::Conflict,
                      "an armed action asked for earlier keeps the rig until then");
    }
  }
  armed_.push_back(
      {at + length, request.ticket, request.id, request.action, request.times.shots() > 1});
  return std::nullopt;
}

void ArmedWindows::queue(std::chrono::milliseconds length) {
  const QMutexLocker lock(&mutex_);
  queuedWork_ += length;
}

void ArmedWindows::unqueue(std::chrono::milliseconds length) {
  const QMutexLocker lock(&mutex_);
  queuedWork_ -= length;
}

void ArmedWindows::started(std::chrono::milliseconds length, TimePoint now) {
  const QMutexLocker lock(&mutex_);
  queuedWork_ -= length;
  runningUntil_ = now + length;
}

void ArmedWindows::release(const Request& request) {
  const QMutexLocker lock(&mutex_);
  runningUntil_.reset();
  if (!request.shot) return;
  std::erase_if(armed_,
                [&request](const Window& window) { return window.cancel == request.ticket; });
}

QJsonArray ArmedWindows::cancelAll(const std::function<void(const QJsonArray&)>& answer) {
  const QMutexLocker lock(&mutex_);
  QJsonArray ended;
  for (const Window& window : armed_) {
    const bool disarmed = window.cancel->cancel();
    QJsonObject one{{QStringLiteral("action"), actionName(window.action)},
                    {QStringLiteral("outcome"), disarmed        ? QStringLiteral("disarmed")
                                                : window.series ? QStringLiteral("stopping")
                                                                : QStringLiteral("fired")}};
    if (!window.id.isUndefined()) one.insert(QStringLiteral("id"), window.id);
    ended.append(one);
  }
  if (answer) answer(ended);
  return ended;
}

}  // namespace service
