#include "SleepClock.h"

#include <QByteArray>
#include <QList>
#include <thread>
#include <utility>

#ifdef __linux__
#include <fcntl.h>
#include <pthread.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <cstdint>
#endif

#include "rig/Failure.h"

namespace service {

ArmedWake ArmedWake::fromEnvironment() {
  ArmedWake wake;
  const QByteArray asked = qgetenv("QUILLMAR_ARMED_WAKE");
  for (const QByteArray& part : asked.split(',')) {
    if (part == "no-slack") wake.leastSlack = false;
    if (part == "no-latency-hold") wake.holdLatency = false;
    if (part.startsWith("spin=")) wake.spin = std::chrono::microseconds(part.mid(5).toInt());
  }
  return wake;
}

SleepClock::SleepClock(rig::SerialControl& serial, const std::atomic<bool>& stop,
                       std::shared_ptr<Wakeup> wakeup)
    : serial_(serial), stop_(stop), wakeup_(std::move(wakeup)) {
#ifdef __linux__
  // The least timer slack the kernel allows, for this thread's sleeps.
  if (wake_.leastSlack) ::prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
#endif
}

SleepClock::~SleepClock() { releaseLatency(); }

void SleepClock::waitUntil(time_point deadline) {
  lowerPriority();
  throwIfStopped();
  const time_point takeInAt = deadline - kTakeInBefore;
  if (takeInAt > now()) {
    {
      std::unique_lock<std::mutex> lock(wakeup_->mutex);
      wakeup_->woken.wait_until(lock, takeInAt, [this] { return stop_.load(); });
    }
    throwIfStopped();
    serial_.takeIn();
    // The end is the next command's moment: the processors are kept awake for it.
    holdLatency();
  }
  std::this_thread::sleep_until(deadline);
}

void SleepClock::waitUntilWoken(time_point deadline) {
  lowerPriority();
  throwIfStopped();
  const time_point takeInAt = deadline - kTakeInBefore;
  const bool takesIn = takeInAt > now();
  bool woken = false;
  {
    std::unique_lock<std::mutex> lock(wakeup_->mutex);
    woken = wakeup_->woken.wait_until(lock, takesIn ? takeInAt : deadline,
                                      [this] { return stop_.load() || wakeup_->pending; });
    wakeup_->pending = false;
  }
  throwIfStopped();
  if (woken || !takesIn) return;
  serial_.takeIn();
  holdLatency();
  std::this_thread::sleep_until(deadline);
}

void SleepClock::nap(time_point until) {
  lowerPriority();
  throwIfStopped();
  {
    std::unique_lock<std::mutex> lock(wakeup_->mutex);
    wakeup_->woken.wait_until(lock, until, [this] { return stop_.load() || wakeup_->pending; });
    wakeup_->pending = false;
  }
  throwIfStopped();
}

void SleepClock::spinUntil(time_point deadline) {
  raisePriority();
  holdLatency();
  // Slept at that priority up to the last moment (no timer slack, and it takes a core from
  // ordinary work at once), so that rigs sharing a machine do not hog its cores spinning.
  if (deadline - now() > wake_.spin) std::this_thread::sleep_until(deadline - wake_.spin);
  while (now() < deadline) {
  }
}

void SleepClock::throwIfStopped() const {
  if (stop_) throw rig::CutShort{rig::CutShort::Why::ServiceStopping};
}

void SleepClock::raisePriority() {
#ifdef __linux__
  if (raised_) return;
  sched_param param{};
  if (pthread_getschedparam(pthread_self(), &policy_, &saved_) != 0) return;
  param.sched_priority = sched_get_priority_min(SCHED_FIFO) + 1;
  raised_ = pthread_setschedparam(pthread_self(), SCHED_FIFO, &param) == 0;
#endif
}

void SleepClock::holdLatency() {
#ifdef __linux__
  if (!wake_.holdLatency || latency_ >= 0) return;
  latency_ = ::open("/dev/cpu_dma_latency", O_WRONLY | O_CLOEXEC);
  const std::int32_t none = 0;
  if (latency_ >= 0 && ::write(latency_, &none, sizeof none) != sizeof none) releaseLatency();
#endif
}

void SleepClock::releaseLatency() {
#ifdef __linux__
  if (latency_ >= 0) ::close(latency_);
  latency_ = -1;
#endif
}

void SleepClock::restorePolicy() {
#ifdef __linux__
  if (!raised_) return;
  pthread_setschedparam(pthread_self(), policy_, &saved_);
  raised_ = false;
#endif
}

}  // namespace service
