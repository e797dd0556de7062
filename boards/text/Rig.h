#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "TextBoard.h"
#include "rig/Arming.h"
#include "rig/Clock.h"
#include "rig/Devices.h"
#include "rig/Failure.h"
#include "rig/RoleRig.h"
#include "rig/SerialControl.h"
#include "rig/State.h"
#include "rig/Timings.h"

namespace rig {

// The rig's operations, run by the rig service and by quillmar-cli on a port of its own. They work
// on the serial control and the clock given at construction and report what they do as a
// RigState to the observer. The state says what was last seen; it is never the ground for
// switching: every action asks the module before it switches.
//
// Failures: a port that cannot be opened ends in the link NotFound, a port that opened but whose
// device went away during the opening's reset in Lost, with the reason shown in the state; and
// every opening returns that failure (its kind, the port and device the state names, and the
// reason shown). Every other operation throws SerialError at the failing step; the steps after
// it are not done.
class Rig {
 public:
  Rig(SerialControl& serial, Clock& clock);

  // Told of every part of the state the rig sets, on the thread that runs the rig.
  void setObserver(StateObserver observer) { observer_ = std::move(observer); }
  // The state now; port, device and open as the serial control has them.
  RigState state() const;

  // The opening: `choice` "AUTOMATIC" scans for the module, anything else opens by number; a
  // port that is open is closed first. Returns the failure that ended in NotFound or Lost,
  // nothing when a port opened.
  std::optional<Failure> openComPort(const std::string& choice);

  // Opens a board of another kind, which brings its own opening (Board::open), makes it the board
  // the actions switch and read through, and resets it as every opening does. The text module's
  // openings (openComPort, reopen) go back to the serial control's port. A board that does not
  // open ends in NotFound with the reason. Returns the failure, nothing when it opened.
  // The board must outlive the rig or its next opening.
  // `again`: the board was lost and is back; the link shows it reconnected, as reopen() does.
  std::optional<Failure> openBoard(Board& board, bool again = false);
  // A board that could not be found by its name: the link NotFound with the reason, as a port
  // that does not open. Returns the failure shown.
  Failure showNotFound(const std::string& reason, FailureKind kind) {
    return portNotFound(reason, kind);
  }

  // The open port's device went away: the link is Lost, with `message` (port, device, reason)
  // as its reason. The actions stay enabled; an action on them reports the failure.
  void showLost(const std::string& message);
  // The boards of a described rig, opened by their owner, are what the actions use now: the
  // link shows them opened and the actions enabled; the text module's port, not one of them, is
  // closed. `again`: they were lost and are back, shown reconnected. `boards` names them where
  // the port's device would be (the status box's tooltip).
  void showOpened(bool again = false, const std::string& boards = {});
  // Opens the lost module again on port `number`, where it is now as `device`, as its opening
  // did: the port chosen, the opening's link, "reconnected", and the rig reset. A port that does
  // not open stays Lost with the reason added to `lostMessage`. Returns the failure, its reason
  // as the status shows it, nothing when it reopened.
  std::optional<Failure> reopen(int number, const DeviceInfo& device,
                                const std::string& lostMessage);
  // The module on the open port as it was when opened (its identity); nothing before any
  // opening succeeded.
  const std::optional<DeviceInfo>& module() const { return module_; }

  // Click of "Main Flash": reads relay 0 and switches it to the other state.
  void toggleFlash();
  // Click of "Camera Shutter": a pulse of relay 1 (half a second unless `timings` say otherwise)
  // when it reads off; always ends with "relay off 1", also when it stops early (a failure, an
  // interruption). Armed (`timings.armed`): the query comes shortly before the shot's time and
  // "relay on 1" reaches the module at it; a shot that cannot be on time throws (TooLate) before
  // anything is switched on, and a disarm during the wait throws (Disarmed).
  void pulseShutter(const Timings& timings = {});
  // Click of "Start": pulse, pause, toggle, pause, pulse, pause, toggle. Stopped early (a failure,
  // an interruption, a stop asked for between steps), it commands relay 1 off and relay 0 back
  // to the state it had at the start when it has switched it, then passes the failure on. Armed,
  // its first shot is armed as for pulseShutter; the rest follows with its pauses.
  void runTwoShotSequence(const Timings& timings = {});

  // Shared operations. The first two are the text module's protocol (the command line's
  // `read`); the actions use the board.
  // The reply to a state query for the relay, read whole: the answer line has ended, the prompt
  // came, or about a second went by. Throws (NoAnswer) when nothing at all came back.
  std::string queryRelay(int relay);
  // The state a query's reply reports; throws SerialError naming the reply when it is not a state
  // (NotUnderstood) or stopped short of one (NoAnswer).
  bool relayOn(int relay, const std::string& reply) const;
  // Relay 0 off, pause, relay 1 off; the flash noted off, the shutter closed by the reset.
  void resetRig();
  // The engine running the panel's rig as described (builtInRig()) on the board the actions use
  // now, made again when an opening changes that board. What it switches and arms is told as this
  // rig's state. The rig service runs its actions on it as on a rig file's engine.
  RoleRig& engine() { return *engine_; }
  // Tries ports 1 to 15 for the module and leaves the first that answers open; returns the
  // failure when none did.
  std::optional<Failure> autoFindPort();

 private:
  std::optional<Failure> openByNumber(const std::string& choice);
  // The text module's openings: the board of the actions is the serial control's again, and a
  // board of another kind that was open is closed.
  void useTextBoard();
  // Opens through `open` (the port, or a board), shows the link opened and resets the rig; a
  // failure ends in NotFound, or in Lost when the board went away after it had opened.
  std::optional<Failure> openThenReset(const std::function<void()>& open, bool reconnected = false);
  // The link shows the actions' board opened, `again` telling that it came back.
  void showLinkOpened(bool again);
  // Tells the reply of each reading as the state's `relayReply`.
  Board::ReplyObserver replyObserver();
  // The link NotFound with `reason`; the failure as shown.
  Failure portNotFound(const std::string& reason, FailureKind kind);
  // The engine on `board_`, its lines and its armed wait told as this rig's state.
  void makeEngine();

  // The link Lost with `message`; the failure as shown.
  Failure portLost(const std::string& message, FailureKind kind);
  // An opening's failure of `kind`, with `reason` as the status shows it and the port and the
  // device the state names.
  Failure shownFailure(FailureKind kind, std::string reason) const;
  // Reads the ports afresh; remembers them for identifying the module that opens.
  void refreshPorts();
  // Notes the module on port `number` as the open one, with the link its opening showed.
  void noteOpened(int number, Link link);
  // Sets the state through `change`, then tells the observer which part it was.
  template <typename Set>
  void update(Change change, Set&& set) {
    set(state_);
    if (observer_) observer_(state(), change);
  }
  SerialControl& serial_;
  Clock& clock_;
  StateObserver observer_;
  RigState state_;
  // The described rig's boards, shown where the port's device would be once they are open.
  std::string describedBoards_;
  // The text module on the serial control's port: the opening's and `quillmar-cli read`'s own
  // protocol. The actions switch and read through `board_`, which is this board.
  TextBoard text_;
  Board* board_;
  std::unique_ptr<RoleRig> engine_;
  // A shutter the engine switches off is shown closed this way (by the reset, its own caption).
  Shutter closedAs_ = Shutter::Closed;
  bool armedEnded_ = false;  // the shutter opened at an armed shot's time
  // The ports as last read, and what the open module is.
  PortList ports_;
  std::optional<DeviceInfo> module_;
  Link openedLink_ = Link::NotOpened;
};

}  // namespace rig
