#pragma once

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace rig {

// How the port stands, as the last opening, loss or reopening left it.
enum class Link {
  NotOpened,       // nothing has been opened yet
  Opened,          // opened by its number
  OpenedBySearch,  // opened by the search for the module
  NotFound,        // the last opening failed
  Lost,            // the open port's device went away
};

// The flash as the module last reported it (or as last commanded): the rig never switches on it.
enum class Flash { Unknown, Off, On };

// The shutter as last commanded. A reset leaves it closed under a caption of its own.
enum class Shutter { Closed, Open, ClosedByReset };

// A shutter or sequence request under way, as every channel shows its progress: what runs, its
// first shot's start and its last shot's planned end on the real-time clock, and its pulse.
enum class Shots { Shutter, Sequence };
struct RunningShots {
  Shots action = Shots::Shutter;
  std::chrono::system_clock::time_point since;
  std::chrono::system_clock::time_point until;
  std::chrono::system_clock::duration pulse{};
  bool operator==(const RunningShots&) const = default;
};

// What the rig knows and the operator sees, as values. Every channel shows it; none switches on
// it, since every action asks the module first.
struct RigState {
  int port = 1;        // the serial control's port number
  std::string device;  // the device it maps to; empty when none
  bool open = false;   // the port is open
  Link link = Link::NotOpened;
  // NotFound and Lost: why. Opened after a reopening: what then went wrong, if anything.
  std::string reason;
  bool reconnected = false;  // the lost module was reopened by itself
  Flash flash = Flash::Unknown;
  Shutter shutter = Shutter::Closed;
  bool busy = false;            // a request is running or queued (set by the rig service)
  bool actionsEnabled = false;  // a port has opened: the action buttons work from then on
  bool foundBySearch = false;   // the search has found the module once; the open button says so
  std::string identification;   // the last reply to "id get" (a hidden box of the main window)
  std::string relayReply;       // the last reply to a state query (the other hidden box)
  // A series running (set by the rig service): shot `shot` of `shots`; both 0 when none runs.
  int shot = 0;
  int shots = 0;
  // The shutter or sequence request running (set by the rig service); none between them.
  std::optional<RunningShots> running;
  // Why the journal could not be written (set by the rig service); empty while it can.
  std::string journalFailure;
  // The last request that failed (set by the rig service), in its answer's words, from whatever
  // channel it came, until the next one runs; empty when the last one did not fail.
  std::string failure;
  // While an armed shot waits: the real time its "relay on 1" reaches the module.
  std::optional<std::chrono::system_clock::time_point> armedAt;

  bool operator==(const RigState&) const = default;
};

// Which part of the state a report is about.
enum class Change {
  Port,            // the rig chose the port number itself (search, reopening)
  Link,            // link, reason, reconnected, device, enabled actions
  FoundBySearch,   //
  Flash,           //
  Shutter,         //
  Identification,  //
  RelayReply,      //
  Armed,           // an armed shot began or ended its wait
};

// Told every time the rig sets a part of the state, also to the value it had.
using StateObserver = std::function<void(const RigState& state, Change change)>;

// A described rig's lines, role by role (rig/RoleRig.h): each as last commanded or read back.
// Unknown until the rig has switched or read it, and after a command to it failed.
enum class LineState { Unknown, Off, On };

struct CameraLines {
  std::string name;
  LineState shutter = LineState::Unknown;
  std::optional<LineState> focus;  // none: the camera has no focus line
  bool operator==(const CameraLines&) const = default;
};

struct FlashLine {
  std::string name;
  LineState line = LineState::Unknown;
  bool operator==(const FlashLine&) const = default;
};

// Every camera's and flash's line, in the description's order.
struct RoleState {
  std::vector<CameraLines> cameras;
  std::vector<FlashLine> flashes;
  bool operator==(const RoleState&) const = default;
};

// Told every time a described rig sets a line's state.
using RoleObserver = std::function<void(const RoleState& state)>;

}  // namespace rig
