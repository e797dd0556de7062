#pragma once

#include <cstddef>
#include <exception>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "Board.h"
#include "Clock.h"
#include "RigDescription.h"
#include "State.h"
#include "Timings.h"

namespace rig {

// The opened boards of a described rig, by their names in the description.
using RigBoards = std::map<std::string, Board*>;

// A rig described by a RigDescription, acted on by roles: its cameras fired together, its
// flashes toggled together, across as many boards as it has. A description in the two-relay
// module's manner (RigManner: builtInRig()) runs its actions step by step, with the panel's bytes
// and timings; what follows is the timeline of every other rig.
//
// Each action is a timeline of moments; at each, the lines switching on one board are switched
// with one switchRelays call (one command where the board can), each board's call started its
// lead for those lines (Board::groupLead) ahead so that it lands at the moment. Every ending other
// than success (a stop asked, CutShort out of a wait, a board's SerialError, a board gone) releases
// every shutter and focus line the action had switched and puts every flash it had toggled back as
// it found it, trying every board even when one fails. A board's failure is thrown as SerialError
// naming the board
// ("board top (hid:QM7YK): ...") with the board's kind of failure.
class RoleRig {
 public:
  // `boards` holds every board the description names, opened (OpenedBoards.h finds and opens
  // them); they must outlive the rig. Throws SerialError (NotOpen) naming a board the
  // description has and `boards` lacks, and (Other) a line on no board of the description or
  // named by two roles: a description made in code has not been through the rig file's checks.
  RoleRig(RigDescription description, RigBoards boards, Clock& clock);

  void setObserver(RoleObserver observer) { observer_ = std::move(observer); }
  // Told of each line a command has switched, as noted (`line` is one of state()'s lines, the
  // same value again too), before the observer.
  using LineObserver = std::function<void(const LineState& line)>;
  void setLineObserver(LineObserver observer) { lineObserver_ = std::move(observer); }
  // While an armed shot waits: the real time its shutters switch (a focus lead's line closes
  // before it). Told to the observer as it begins and ends.
  const std::optional<Clock::real_time>& armedAt() const { return armedAt_; }
  const RoleState& state() const { return state_; }
  const RigDescription& description() const { return description_; }
  // The description's pulse and pause as the actions take them.
  Timings timings() const;

  // Fires the cameras named in `cameras` (every camera when it is empty): their focus lines
  // closed the description's focus lead ahead of the shot, each shutter closed at the shot plus
  // its camera's delay and held for the pulse (a bulb: up to an hour), then released with its
  // focus line. A stop asked (timings.stopRequested) ends any wait at once, the pulse's too.
  // Armed, `at` is the moment the shutters close; a shot whose focus lead does not fit before
  // it is refused (TooLate) before anything is switched, and a disarm during the wait switches
  // nothing (Disarmed). A camera the description does not have, a pulse of no length or longer
  // than an hour, or one that puts two moments on one board closer than its command takes (as
  // checkMoments() words it), is refused (BadRequest) before anything is switched. A stop before
  // the first switch sends nothing.
  void shutter(const std::vector<std::string>& cameras, const Timings& timings);
  void shutter(const std::vector<std::string>& cameras = {}) { shutter(cameras, timings()); }
  // Throws SerialError (Other) when a board cannot put two moments of a shot of every camera as
  // close as the description asks (its next command would have to start before the last one has
  // reached the board), naming the board, the lines and the board's figure: such a shot would
  // land late, never as planned.
  void checkMoments();

  // The last armed shot as the rig recorded it: for each board that switched lines on at it (its
  // focus, its shutters), the worst lateness of those commands' last byte on the line against
  // their moments, from the board's call and its lead. Empty until an armed shot has fired.
  struct BoardLateness {
    std::string board;  // the description's name for it
    Clock::duration late{};
  };
  const std::vector<BoardLateness>& armedLateness() const { return armedLateness_; }

  // Switches every camera's lines and every flash off, one call per board, as an opening resets
  // the rig: the actions start from lines in a known state.
  // In the stepwise manner with a reset pause, the flashes first, then after the pause the cameras.
  void reset();
  // Every camera's shutter and focus line off, the flashes left as they are: the end of a run.
  void camerasOff() { linesOff(true, false); }
  // Reads every flash and switches each to its other state; a board with one flash is asked
  // for that relay alone, as the two-relay rig asks. Given a name, that flash alone; a name the
  // description does not have is refused (BadRequest) before anything is read or switched.
  void flash(const std::string& name = {});
  // The two-shot sequence with every camera and every flash: shutter, pause, flash, pause,
  // shutter, pause, flash; armed, its first shot is.
  void sequence(const Timings& timings);
  void sequence() { sequence(timings()); }

 private:
  // One relay line of the rig: its board (an index into boards_) and its relay.
  struct Line {
    std::size_t board = 0;
    int relay = 0;
  };
  // A line's part in a shot: switched on and off at these offsets from the shot's time.
  struct Hold {
    Line line;
    Clock::duration on{};
    Clock::duration off{};
    LineState* state = nullptr;
  };
  // The lines that switch on one board at one moment, with their states to note.
  struct Group {
    Clock::duration at{};
    std::size_t board = 0;
    RelayMask which = 0;
    RelayMask on = 0;
    std::vector<std::pair<int, LineState*>> lines;
  };
  // What the flashes were before an action toggled them, so an ending can put them back.
  struct FlashUndo {
    std::vector<std::optional<bool>> atStart;  // per flash, as first read
    std::vector<std::optional<bool>> now;      // as last commanded; none after a failed command
  };

  Line lineOf(const RelayLine& line) const;
  void linesOff(bool cameras, bool flashes);
  // The stepwise manner (RigManner::stepwise). An armed action's start: refused when too near,
  // then the disarmable wait until shortly before the shot, so the readings are fresh at it.
  void armBeforeReading(const Arming& armed);
  // Reads the holds' lines, switches on those that read off (armed: landing at the shot), holds
  // them for the pulse and switches them all off.
  void pulseSteps(const std::vector<Hold>& holds, const Timings& timings, const Arming* armed);
  void shutterSteps(const std::vector<Hold>& holds, const Timings& timings);
  void sequenceSteps(const std::vector<Hold>& holds, const Timings& timings);
  // One wait of `length` (and the margin), the boards looked at during a long one; no stop cuts it.
  void holdFor(Clock::duration length);
  // The holds' lines as one switching group per board, every line switched to `on`.
  std::vector<Group> groupsByBoard(const std::vector<const Hold*>& holds, bool on) const;
  std::vector<Hold> holdsOf(const std::vector<std::string>& cameras, const Timings& timings);
  static std::vector<Group> groupsOf(const std::vector<Hold>& holds);
  void fire(const std::vector<Hold>& holds, const Timings& timings, const Arming* armed);
  // Every flash, or the one at index `only`.
  void toggleFlashes(FlashUndo& undo, std::optional<std::size_t> only = std::nullopt);
  // Switches on each board the lines `fill` puts in its group, every board tried even when one
  // fails; the failures' words.
  std::vector<std::string> onEveryBoard(const std::function<void(Group&)>& fill) noexcept;
  // Releases the holds' lines, one call per board, every board tried; the failures' words.
  std::vector<std::string> release(const std::vector<Hold>& holds) noexcept;
  // Puts back every flash whose state may differ from its start; the failures' words.
  std::vector<std::string> restore(FlashUndo& undo) noexcept;
  // Rethrows `ending`; when something could not be undone, a SerialError that says so instead of
  // a cut short, or the failure with the undoing's failures added to its words.
  [[noreturn]] static void endWith(const std::exception_ptr& ending,
                                   const std::vector<std::string>& undoFailures);

  // Runs `call` on board `index`; a failure is thrown again naming the board.
  template <typename Call>
  auto onBoard(std::size_t index, Call&& call) -> decltype(call(std::declval<Board&>()));
  // The group's call to its board alone: its lines are not noted, nothing is told.
  void sendGroup(const Group& group);
  // On a board that switches one relay at a time, a group with focus lines among other lines is
  // switched here a relay at a time: a camera's focus before its shutter when both switch on, its
  // shutter before its focus when both switch off, others from the lowest relay (the board's own
  // order would hold a shutter a command past its release). False for any other group, which
  // is left to the caller.
  bool switchedInTurn(Board& board, const Group& group) const;
  void switchGroup(const Group& group);
  // An armed shot's switches run step by step: spins until `sendAt`, sends the groups' commands
  // one after another, gives the priority back, then notes their lines and lateness against the
  // `shot` and tells them. A failed call ends the sending; it is thrown once the groups before it
  // are noted switched and it is noted unknown.
  void switchAt(Clock::time_point sendAt, const std::vector<Group>& groups, Clock::time_point shot);
  // The group's lines as switched, or unknown when its command failed.
  void note(const Group& group, bool switched);
  // An armed wait is over: the state no longer shows it.
  void endArmed() noexcept;
  // A group's command on its way (Board::startSwitch), the group added to `started`, the groups
  // of its moment so far. On a failure those are awaited, then the failure is thrown.
  void startGroup(const Group& group, std::vector<const Group*>& started);
  // Awaits the answers of the groups started, notes their lines, and throws the first failure
  // once every board has been awaited.
  void finishGroups(const std::vector<const Group*>& started);
  Clock::duration leadOf(const Group& group) const;
  // checkMoments() for these groups, refused with `kind`.
  void checkMoments(const std::vector<Group>& groups, FailureKind kind) const;
  // Waits until `deadline`; a stop asked ends the wait by CutShort (StopAsked), a board gone
  // meanwhile (looked at during a long wait) by its SerialError (DeviceGone).
  void waitStoppable(Clock::time_point deadline, const Timings& timings);
  // Throws DeviceGone naming the first board whose device has gone.
  void lookAtBoards();
  // An armed shot's wait until shortly before its first call (`firstSend` from the shot's time;
  // its first moment at `firstAt`): refused when too near, disarmable, committed at the end.
  // Returns the steady time of the shot's moment.
  Clock::time_point waitArmed(const Arming& armed, Clock::duration firstAt,
                              Clock::duration firstSend);
  void tell();

  // The role of the line whose state is `state`: "camera left's shutter", "camera top's focus".
  std::string roleOf(const LineState* state) const;
  // Whether `state` is a camera's focus line's.
  bool isFocus(const LineState* state) const;
  // Notes the group's lateness, its call started at `sent`, in armedLateness_.
  void noteLateness(const Group& group, Clock::time_point sent, Clock::time_point shot);

  RigDescription description_;
  std::vector<BoardLateness> armedLateness_;
  struct BoardEntry {
    std::string name;
    Board* board = nullptr;
  };
  std::vector<BoardEntry> boards_;
  Clock& clock_;
  RoleObserver observer_;
  LineObserver lineObserver_;
  RoleState state_;
  // A stepwise armed action was disarmed before it switched anything on: its ending sends nothing.
  bool disarmedBeforeSwitch_ = false;
  std::optional<Clock::real_time> armedAt_;
};

}  // namespace rig
