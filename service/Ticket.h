#pragma once

#include <atomic>
#include <functional>

namespace service {

// Whether a request has started or been withdrawn: whichever comes first holds, so a request
// withdrawn by its client (its connection closed, a withdrawal) never runs, and one that has
// started is never reported as withdrawn. Shared between the channel and the rig service.
class Ticket {
 public:
  // The rig service is about to run the request; false when it was withdrawn first.
  bool start() { return settle(State::Started); }
  // The client no longer wants the request; false when it has started already. Then an armed
  // shot still waiting is disarmed all the same, and with `endSeries` (the client asked for the
  // withdrawal, rather than just going away) a series ends after its step too.
  bool withdraw(bool endSeries = false) {
    if (settle(State::Withdrawn)) return true;
    if (endSeries) {
      cancel();
    } else {
      disarm();
    }
    return false;
  }
  bool started() const { return state_ == State::Started; }
  bool withdrawn() const { return state_ == State::Withdrawn; }

  // A disarm, a stop or the client's withdrawal: an armed shot that still waits for its time is
  // disarmed and never fires; a series ends after its step in progress. True when the armed shot
  // was still waiting (or there is none yet); false once it was committed to.
  bool cancel() {
    cancelled_ = true;
    return disarm();
  }
  // The same for the armed shot alone: a series whose first shot fired goes on.
  bool disarm() {
    Shot waiting = Shot::Waiting;
    const bool disarmed =
        shot_.compare_exchange_strong(waiting, Shot::Cancelled) || waiting == Shot::Cancelled;
    if (wake) wake();
    return disarmed;
  }
  // The series is to end after its step in progress.
  bool cancelled() const { return cancelled_; }
  // The armed shot is not to fire.
  bool disarmed() const { return shot_ == Shot::Cancelled; }
  // The armed shot's last moment to be disarmed has come: false when a cancel came first, true
  // when the shot goes ahead (a cancel from now on comes too late).
  bool commit() {
    Shot waiting = Shot::Waiting;
    return shot_.compare_exchange_strong(waiting, Shot::Committed) || waiting == Shot::Committed;
  }

  // Called when the request starts, on the thread that submitted it (as its answer is).
  std::function<void()> onStart;
  // Wakes the rig's wait for the shot or the series' next shot, to see a cancel at once. Set by
  // the rig service as it takes the request, before anything can cancel it.
  std::function<void()> wake;

 private:
  enum class State { Waiting, Started, Withdrawn };
  bool settle(State to) {
    State waiting = State::Waiting;
    return state_.compare_exchange_strong(waiting, to) || state_ == to;
  }
  std::atomic<State> state_{State::Waiting};
  enum class Shot { Waiting, Committed, Cancelled };
  std::atomic<Shot> shot_{Shot::Waiting};
  std::atomic<bool> cancelled_{false};
};

}  // namespace service
