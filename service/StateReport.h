#pragma once

#include <QObject>
#include <functional>

#include "LineRecorder.h"
#include "Requests.h"
#include "rig/RoleRig.h"
#include "rig/State.h"

namespace service {

class DescribedRig;

// What every channel sees alike: the hidden boxes' replies alone are no change of the state.
bool sameState(const State& a, const State& b);

// A rig file's state: its flashes and shutters as the panel's captions and relays show them (a
// flash on when any is, the shutter open while any camera's is), its roles' lines, and every
// board's link. `merged` is the panel rig's state with what the service adds (busy, the series).
State describedState(rig::RigState merged, const DescribedRig& rig);

// Notes each line a described rig switched since the last note, for the answer and the journal
// ("camera left shutter on").
class LineNotes {
 public:
  // From now on the lines are as `state` has them.
  void reset(const rig::RoleState& state = {}) { noted_ = state; }
  void note(const rig::RoleState& state, Recorder& recorder);

 private:
  rig::RoleState noted_;
};

// Hands the state to `owner`'s thread when it has changed since last handed, queued in the order
// the states were made.
class StateReporter {
 public:
  StateReporter(QObject& owner, std::function<void(const State&)> publish)
      : owner_(owner), publish_(std::move(publish)) {}
  void report(const State& state);

 private:
  QObject& owner_;
  std::function<void(const State&)> publish_;
  State reported_;
  bool reportedOnce_ = false;
};

}  // namespace service
