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
  // The client no longer wants the request; false when it has started already.
  bool withdraw() { return settle(State::Withdrawn); }
  bool started() const { return state_ == State::Started; }

  // Called when the request starts, on the thread that submitted it (as its answer is).
  std::function<void()> onStart;

 private:
  enum class State { Waiting, Started, Withdrawn };
  bool settle(State to) {
    State waiting = State::Waiting;
    return state_.compare_exchange_strong(waiting, to) || state_ == to;
  }
  std::atomic<State> state_{State::Waiting};
};

}  // namespace service
