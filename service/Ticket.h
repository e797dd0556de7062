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
  // The client no longer wants the request; false when it has started already, when its shots
  // are cancelled instead (see cancel).
  bool withdraw() {
    if (settle(State::Withdrawn)) return true;
    cancel();
    return false;
  }
  bool started() const { return state_ == State::Started; }

  // A disarm, a stop or the client's withdrawal: an armed shot that still waits for its time is
  // disarmed and never fires; a series ends after its step in progress. True when the armed shot
  // was still waiting (or there is none yet); false once it was committed to.
  bool cancel() {
    cancelled_ = true;
    Shot waiting = Shot::Waiting;
    return shot_.compare_exchange_strong(waiting, Shot::Cancelled) || waiting == Shot::Cancelled;
  }
  bool cancelled() const { return cancelled_; }
  // The armed shot's last moment to be disarmed has come: false when a cancel came first, true
  // when the shot goes ahead (a cancel from now on comes too late).
  bool commit() {
    Shot waiting = Shot::Waiting;
    return shot_.compare_exchange_strong(waiting, Shot::Committed) || waiting == Shot::Committed;
  }

  // Called when the request starts, on the thread that submitted it (as its answer is).
  std::function<void()> onStart;

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
