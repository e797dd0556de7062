#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>

#ifdef __linux__
#include <sched.h>
#endif

#include "rig/Clock.h"
#include "rig/SerialControl.h"

namespace service {

// Ends the service thread's waits early: the service stopping, or a disarm or a stop that an
// armed shot or a series waits for. Shared, so that a ticket may call it after the service is gone.
struct Wakeup {
  void wake() {
    {
      const std::lock_guard<std::mutex> lock(mutex);
      pending = true;
    }
    woken.notify_all();
  }
  std::mutex mutex;
  std::condition_variable woken;
  bool pending = false;  // woken since the last wait that could be woken ended
};

// How an armed shot's last stretch is taken: each part can be turned off to measure what it
// brings (QUILLMAR_ARMED_WAKE="no-slack,no-latency-hold,spin=US"; the benchmark compares them).
struct ArmedWake {
  bool leastSlack = true;   // the thread's timer slack at its least: sleeps end when asked
  bool holdLatency = true;  // the processor kept out of deep idle states for the last stretch
  std::chrono::microseconds spin{200};  // the end spun, not slept

  static ArmedWake fromEnvironment();
};

// The rig service's clock. Steady time, and waits that sleep the service's thread and run
// nothing else: loss notices and every other event wait for the end of the job. A long wait
// wakes once, shortly before its end, for the serial control to take in what reached the port
// meanwhile and note that it came: the rig waits for a quiet line before each question, and so
// sees that the echoes and prompts after its last command came long ago. The last stretch is
// slept out to the microsecond (a pause is the length of a shutter pulse).
// A stop of the service (`stop` set, then a wake) cuts a wait short with rig::CutShort, within a
// slice, so the rig ends its action soundly at once.
class SleepClock : public rig::Clock {
 public:
  // Made on the service's thread, whose sleeps it sets.
  SleepClock(rig::SerialControl& serial, const std::atomic<bool>& stop,
             std::shared_ptr<Wakeup> wakeup);
  ~SleepClock() override;
  SleepClock(const SleepClock&) = delete;
  SleepClock& operator=(const SleepClock&) = delete;

  time_point now() const override { return std::chrono::steady_clock::now(); }
  void waitUntil(time_point deadline) override;
  // As waitUntil, the port taken in shortly before the end (the next shot's question then finds
  // the line quiet at once); a wake-up ends the wait early, before that.
  void waitUntilWoken(time_point deadline) override;
  // A look between two of a long wait's: nothing taken in, the processors left to sleep.
  void nap(time_point until) override;
  // An armed shot's last stretch: spun, at a real-time priority where the system allows it, kept
  // through the shot's write (spinDone), so nothing else runs in between.
  void spinUntil(time_point deadline) override;
  // The processors stay awake until the next wait: the command's way to the line is not over.
  void spinDone() override { restorePolicy(); }
  void rest() override { lowerPriority(); }

 private:
  void throwIfStopped() const;
  void raisePriority();
  // Asks the kernel to keep the processors out of deep idle states (whose wake-up takes up to
  // milliseconds) until released: held only for the last stretch of a timed wait and the
  // command that follows it.
  void holdLatency();
  void releaseLatency();
  void lowerPriority() {
    releaseLatency();
    restorePolicy();
  }
  void restorePolicy();

  ArmedWake wake_ = ArmedWake::fromEnvironment();
#ifdef __linux__
  int latency_ = -1;  // the held latency request, while open
  bool raised_ = false;
  int policy_ = SCHED_OTHER;
  sched_param saved_{};
#endif
  // More than the quiet the rig waits for before a question (20 ms).
  static constexpr auto kTakeInBefore = std::chrono::milliseconds(25);
  rig::SerialControl& serial_;
  const std::atomic<bool>& stop_;
  std::shared_ptr<Wakeup> wakeup_;
};

}  // namespace service
