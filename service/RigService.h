#pragma once

#include <QJsonArray>
#include <QMutex>
#include <QPointer>
#include <QString>
#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "ArmedWindows.h"
#include "ClockStatus.h"
#include "Journal.h"
#include "RigHost.h"
#include "boards/text/Rig.h"
#include "rig/Arming.h"
#include "rig/BoardSource.h"
#include "rig/RigDescription.h"
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
  // Waits for the running request to end (a series after its step in progress, an armed one
  // disarmed); queued requests are dropped unanswered.
  ~RigService() override;

  // A stop is taken at once, not queued: it ends the shutter or sequence request running after
  // its step in progress, and is answered at once. A disarm is answered here at once too: it
  // ends every armed wait (running or queued) before anything fires. An armed request is refused
  // here, before it is queued, when its time has passed or is more than an hour ahead, when it
  // would start before the running or armed action ends, and on a clock no time service keeps
  // unless it allows the local clock.
  // A status is answered at once too, from the state as last reported.
  void submit(const Request& request, Done done) override;
  // Calls `then` on the calling thread's event loop once every request submitted before has run
  // (a window closing after what was clicked before it).
  void afterQueued(std::function<void()> then);

  // Makes where boards are found by name, on the service's thread (boards built on Qt's serial
  // port belong to the thread that made them).
  using BoardSourceFactory = std::function<std::unique_ptr<rig::BoardSource>()>;
  // From now on every opening opens the board `name` instead of the port it asks for: a text
  // module's name resolved to its port, a board of another kind found through the source and
  // opened by the rig. A board of another kind that is lost (an action's failure closed it, or
  // its device went away) shows "Port Lost" as a lost port does, and is opened again, found by
  // its name, when it is back. Set before requests come.
  void useBoard(const rig::BoardName& name, BoardSourceFactory makeSource);
  // From now on the rig is the one `description` describes (a rig file): every opening finds
  // its boards through the source by their names and opens them (the port asked for is not
  // used), resetting every line; the actions act on its roles, and the state names each
  // camera's and flash's lines. Set before requests come.
  void useRig(const rig::RigDescription& description, BoardSourceFactory makeSource);

  // Where the service learns the clock's synchronization (tests give their own).
  void setClockStatusSource(std::function<ClockStatus()> source);
  State state() const override;

  // From now on, one line for every request that reaches the rig (none without a journal). Set
  // before requests come.
  void setJournal(std::unique_ptr<Journal> journal);

  // True from a request's start to the end of the last queued one.
  bool busy() const;

  // Stops watching for a lost module (the window is closing); the operator's own opening does
  // so as well.
  void endWatch();

  // For the end of a headless run: stops the running series after its step in progress,
  // disarms the armed shots, waits until the queue is empty, then commands relay 1 off
  // when the port is open, so the shutter never stays open after the service stops. Returns
  // whether that command went out.
  bool shutDown();
  // What the last shutDown (or stop) commanded off, or why it could not, for the program's last
  // words: "relay 1 commanded off", "no camera's line was commanded off: board top (hid:QM7YK) is
  // lost".
  QString endWords() const { return endWords_; }
  // For the end of a session (a signal, the desktop's logout): the running request stops at its
  // next wait, so a pulse ends with relay 1 off and a sequence with the flash as it found it;
  // queued requests are answered "not run" and never run; then relay 1 is commanded off as by
  // shutDown. The answers are on their way to their callers' threads when it returns.
  bool stop();
  // The first half of stop(), for a run that ends its own way: the running request stops at its
  // next wait and the queued ones are answered "not run", without the closing "relay off 1".
  void interrupt();

  // Runs `work` on the service's thread with the serial control, after the requests queued
  // before it, and waits for it (tests and diagnostics: closing the port, reading its buffer).
  // What `work` throws is thrown here.
  void withSerial(const std::function<void(rig::SerialControl&)>& work);
  // The same with the rig and its clock, for steps that are no request of their own (the
  // command line's reset and relay reading).
  using RigWork = std::function<void(rig::Rig&, rig::SerialControl&, rig::Clock&)>;
  void withRig(const RigWork& work);

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
  // A shutter or sequence request from any channel has been answered (fired, failed, refused or
  // stopped), on the thread that submitted it.
  void shotEnded(const service::Request& request, const service::Result& result);
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

  // A queued request starts on the service's thread: an unarmed one keeps the rig from now on
  // for about its length; an armed one gets its arming, cancelled through its ticket.
  std::optional<rig::Arming> starting(const Request& request);
  // Queues `request` to run in its turn (refused at once when armed and it cannot fire).
  void enqueue(const Request& request, Done done);
  // Answers `request` with `result` on the caller's thread, without running it.
  void answerAtOnce(const Request& request, Result result, const Done& done);

  std::unique_ptr<Worker> worker_;
  Journal* journal_ = nullptr;  // the worker's
  State state_;
  std::optional<rig::RigTimings> describedTimings_;  // useRig's: what the actions take by default
  QString endWords_;                                 // shutDown's words, set on the caller's thread
  std::atomic<bool> stopped_{false};  // stop() was called: requests are answered "not run"
  // The armed requests, from queued to done, and what the rig is kept for meanwhile.
  ArmedWindows armed_;
};

}  // namespace service
