#pragma once

#include <QJsonArray>
#include <QMutex>
#include <chrono>
#include <functional>
#include <optional>
#include <vector>

#include "ClockStatus.h"
#include "Requests.h"
#include "rig/Failure.h"

namespace service {

// The rig service's arming decisions, apart from the thread that runs the rig: whether an armed
// request can have the rig at its time (refused when its time has passed, is more than an hour
// ahead, falls before the running, queued or armed work has ended, or on a clock no time service
// keeps), the windows the accepted ones keep, and their disarming. Any thread: the channels' thread
// decides and disarms while the service's thread holds the rig.
class ArmedWindows {
 public:
  using TimePoint = std::chrono::system_clock::time_point;

  // Where the clock's synchronization is learnt (tests give their own).
  void setClockStatusSource(std::function<ClockStatus()> source);
  ClockStatus clockStatus() const;

  // An armed request (with its shot and ticket) asks for the rig from its lead before its time
  // (the query's, and `lead` more for focus lines closed ahead of the shot) to `length` after
  // it: the refusal when it cannot have it (too-late when that lead no longer fits before the
  // time, conflict when other work would hold the rig then), else its window is kept until
  // release().
  std::optional<rig::Failure> arm(const Request& request, std::chrono::milliseconds length,
                                  TimePoint now,
                                  std::chrono::milliseconds lead = std::chrono::milliseconds{0});
  // An unarmed request of about `length` is queued; it leaves the queue when it starts (started)
  // or is dropped unrun (unqueued).
  void queue(std::chrono::milliseconds length);
  void unqueue(std::chrono::milliseconds length);
  void started(std::chrono::milliseconds length, TimePoint now);
  // The rig is no longer kept for `request` (armed or running).
  void release(const Request& request);
  // Cancels every armed request, queued or running, through its ticket; what each came to
  // ("disarmed", "stopping" for a series past its first shot, "fired"), for the answer.
  // `answer` is given it before the lock is let go: a request ended by the cancel is released
  // under the same lock, so its own answer comes after the one given here.
  QJsonArray cancelAll(const std::function<void(const QJsonArray& ended)>& answer = nullptr);

 private:
  struct Window {
    TimePoint to;
    std::shared_ptr<Ticket> cancel;
    QJsonValue id;
    Action action = Action::Shutter;
    bool series = false;
  };
  mutable QMutex mutex_;
  std::vector<Window> armed_;
  // The unarmed requests queued and not yet started, by their nominal length.
  std::chrono::milliseconds queuedWork_{0};
  std::optional<TimePoint> runningUntil_;
  std::function<ClockStatus()> clockStatus_ = systemClockStatus;
};

}  // namespace service
