#include "Reconnector.h"

#include <algorithm>
#include <chrono>

namespace rig {

namespace {

using namespace std::chrono_literals;

// A module that is back is tried for this long; after that it stays lost until it goes away and
// comes back again (udev sets permissions and ModemManager probes within about a second).
constexpr auto kRetryWindow = 2s;
// The first retry after a failed attempt comes this soon, and each later one twice as late, up
// to the cap.
constexpr auto kFirstRetry = 100ms;
constexpr auto kRetryCap = 400ms;
// A module lost again within this time of being reopened is flapping...
constexpr auto kSettled = 5s;
// ...and is held off this long before the next attempt, twice as long each time, up to the cap.
constexpr auto kFirstHold = 500ms;
constexpr auto kHoldCap = 8s;

}  // namespace

void Reconnector::lose(const DeviceInfo& module, time_point now) {
  const bool flapping = reopenedAt_ && now - *reopenedAt_ < kSettled;
  hold_ = flapping ? std::min<Clock::duration>(hold_ == Clock::duration{} ? kFirstHold : hold_ * 2,
                                               kHoldCap)
                   : Clock::duration{};
  holdUntil_ = now + hold_;
  module_ = module;
  watching_ = true;
  attempting_ = false;
  seenAt_.reset();
  gaveUp_ = false;
}

void Reconnector::stop() {
  watching_ = false;
  attempting_ = false;
  seenAt_.reset();
}

Reconnector::Plan Reconnector::next(const PortList& ports, time_point now) {
  if (!watching_ || attempting_) return {};
  const std::optional<int> port = findModule(module_, ports);
  if (!port) {
    // Gone again (or not back yet): its next return starts afresh.
    seenAt_.reset();
    gaveUp_ = false;
    return {};
  }
  if (!seenAt_) {
    // The window starts when the module is back and no hold keeps it off.
    seenAt_ = std::max(now, holdUntil_);
    nextTry_ = *seenAt_;
    retryDelay_ = kFirstRetry;
    gaveUp_ = false;
  }
  if (gaveUp_) return {};
  if (now < nextTry_) return {std::nullopt, nextTry_};
  attempting_ = true;
  return {port, std::nullopt};
}

void Reconnector::failed(time_point now) {
  attempting_ = false;
  if (!seenAt_) return;
  nextTry_ = now + retryDelay_;
  retryDelay_ = std::min<Clock::duration>(retryDelay_ * 2, kRetryCap);
  if (nextTry_ > *seenAt_ + kRetryWindow) gaveUp_ = true;
}

void Reconnector::succeeded(time_point now) {
  watching_ = false;
  attempting_ = false;
  seenAt_.reset();
  reopenedAt_ = now;
}

}  // namespace rig
