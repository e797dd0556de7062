#pragma once

#include <memory>
#include <optional>
#include <string>

#include "boards/text/Rig.h"
#include "rig/BoardSource.h"
#include "rig/Clock.h"
#include "rig/Failure.h"
#include "rig/SerialControl.h"

namespace service {

// The board the rig service opens by name instead of a port number (--board). A text module's
// name is resolved to its port on the service's own serial control, so it is the panel's text
// module from then on (its loss and return as for any port); a board of another kind is found
// through the board source and handed to the rig. Lives on the service's thread.
class NamedBoard {
 public:
  // `ownLine`: a text module named by a path that is none of the serial control's ports (a
  // pseudo-terminal, a link, without --ports) is opened on a line of its own through the board
  // source, as a rig file's board of that name is.
  NamedBoard(rig::BoardName name, std::unique_ptr<rig::BoardSource> source, bool ownLine = false);

  const rig::BoardName& name() const { return name_; }
  // The text module's names, which open a port of the serial control.
  bool onSerialControl() const {
    return name_.kind == "text-id" || (name_.kind == "text" && !ownLine_);
  }

  // Finds the board and opens it for the rig (reset as every opening); a name no board answers
  // to ends "Port Not Found" with the reason. `again`: the lost board is back (found by
  // findAgain), shown reconnected. The failure, nothing when it opened.
  std::optional<rig::Failure> open(rig::Rig& rig, rig::SerialControl& serial, rig::Clock& clock,
                                   bool again = false);

  // Whether the open board (not a text module's) has been lost since it opened: an action's
  // failure closed it, or its device went away. Told once: the board is closed then.
  bool lost();
  // Whether the board is to be found now, by its name; kept for the next open(again).
  bool findAgain();

 private:
  rig::BoardName name_;
  std::unique_ptr<rig::BoardSource> source_;
  bool ownLine_ = false;
  std::unique_ptr<rig::Board> board_;  // the one the rig switches through
  std::unique_ptr<rig::Board> found_;  // found again, not yet opened
  bool opened_ = false;                // board_ opened and not yet lost
};

}  // namespace service
