#pragma once

#include <QMutex>
#include <QPointer>
#include <QString>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "ClockStatus.h"
#include "RigHost.h"
#include "rig/SerialControl.h"
#include "rig/State.h"

namespace service {

// The one owner of the serial control and the rig. Requests from every channel run one at a
// time, in arrival order, on a thread of the service's own, where a wait is a plain monotonic
// sleep. Each change the window must show is reported as it happens (queued to the thread that
// created the service); each request ends with a Result.
class RigService : public RigHost {
  Q_OBJECT

 public:
  // Makes the serial control; called once, on the service's thread. A control built on Qt's
  // serial port belongs to the thread that made it, so it must be made there, not handed over.
  using SerialFactory = std::function<std::unique_ptr<rig::SerialControl>()>;

  // Makes the clock of the rig's waits, on the service's thread, for the control just made. By
  // default the waits sleep the thread; tests give a clock that waits without waiting.
  using ClockFactory = std::function<std::unique_ptr<rig::Clock>(rig::SerialControl& serial)>;

  explicit RigService(SerialFactory makeSerial, QObject* parent = nullptr);
  RigService(SerialFactory makeSerial, ClockFactory makeClock, QObject* parent = nullptr);
  // For a control bound to no thread (plain C++ controls, wrappers of them): it is used from the
  // service's thread from now on.
  explicit RigService(std::unique_ptr<rig::SerialControl> serial, ClockFactory makeClock = nullptr,
                      QObject* parent = nullptr);
  // Waits for the running request to end (an armed one is disarmed); queued requests are
  // dropped unanswered.
  ~RigService() override;

  // An armed request is refused here, before it is queued, when its time has passed or is more
  // than an hour ahead, when it would start before the running or armed action ends, and on a
  // clock no time service keeps unless it allows the local clock. A disarm is answered here at
  // once: it ends every armed wait (running or queued) before anything fires.
  void submit(const Request& request, Done done) override;

  // Where the service learns the clock's synchronization (tests give their own).
  void setClockStatusSource(std::function<ClockStatus()> source);
  State state() const override;

  // True from a request's start to the end of the last queued one.
  bool busy() const;

  // Stops watching for a lost module (the window is closing); the operator's own opening does
  // so as well.
  void endWatch();

  // For the end of a headless run: disarms the armed shots (made so far), waits until the queue
  // is empty, then commands relay 1 off
  // when the port is open, so the shutter never stays open after the service stops. Returns
  // whether that command went out.
  bool shutDown();

  // Runs `work` on the service's thread with the serial control, after the requests queued
  // before it, and waits for it (tests and diagnostics: closing the port, reading its buffer).
  // What `work` throws is thrown here.
  void withSerial(const std::function<void(rig::SerialControl&)>& work);

  // The warning the window shows for a failed click: "<button> failed" and its text. None for a
  // success, for a request from elsewhere, and for an opening that ended in "Port Not Found" or
  // "Port Lost" (the status box says it).
  struct Warning {
    QString title;
    QString text;
  };
  static std::optional<Warning> warning(const Request& request, const Result& result);

 signals:
  // Every part of the state the rig sets, as it sets it (also to the value it had), with the
  // whole state as it then was.
  void rigChanged(const rig::RigState& state, rig::Change change);
  // The queue has run empty.
  void idle();
  // The open port's device went away; `message` names port, device, reason. Told once no request
  // runs, and not after a request that ran into it (that request reported it). Either way the
  // status box then reads "Port Lost", and the module is reopened when it comes back.
  void linkLost(const QString& message);

 private:
  class Worker;
  // Takes the state the worker reports, on this object's thread.
  void publish(const State& state);

  // The refusal of an armed request, if any.
  std::optional<rig::Failure> refusal(const Request& request);
  // Runs a request on the service's thread: notes what it keeps the rig for, and what disarms it.
  void runQueued(const Request& request, const Done& done, const QPointer<QObject>& replyTo,
                 std::uint64_t ticket, unsigned disarmsMade);
  // Answers `request` with `result` on the caller's thread, without running it.
  void answerAtOnce(const Request& request, Result result, const Done& done);

  std::unique_ptr<Worker> worker_;
  State state_;
  std::atomic<int> pending_{0};

  // A disarm ends every armed request made before it: each keeps the count it was made under.
  std::atomic<unsigned> disarms_{0};
  // The times that armed requests, from queued to done, keep the rig: from their query to
  // their action's end. Guards also the running action's estimated end and the clock source.
  struct Window {
    std::uint64_t ticket;
    std::chrono::system_clock::time_point from;
    std::chrono::system_clock::time_point to;
  };
  QMutex armedMutex_;
  std::vector<Window> armed_;
  std::uint64_t tickets_ = 0;
  std::optional<std::chrono::system_clock::time_point> runningUntil_;
  std::function<ClockStatus()> clockStatus_ = systemClockStatus;
};

}  // namespace service
