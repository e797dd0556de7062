#pragma once

#include <memory>
#include <string>

#include "rig/Board.h"
#include "rig/SystemClock.h"
#include "rig/TextBoard.h"
#include "serial/CommControl.h"

namespace boards {

namespace detail {

// What a text module found by name has to itself: a serial control holding its one device and
// the real clock. A base of the board, so that both are made before the board and go after it.
struct OwnLine {
  explicit OwnLine(const std::string& device);

  std::string device;
  std::unique_ptr<serial::CommControl> serial;
  // Its waits are for its own replies only: a stop request never cuts them short, so that the
  // rig's ending can still release its lines after a signal.
  rig::SystemClock clock{false};
  bool lost = false;  // the line hung up since it opened (told by the serial control)
};

}  // namespace detail

// A text module found by name, as the catalog hands it out: the text board itself, whole (its
// reading ahead, its leads, its two-halved switch), on a line of its own. Only the opening and
// the look for an unplug are its own.
class TextPortBoard : private detail::OwnLine, public rig::TextBoard {
 public:
  TextPortBoard(const std::string& device, rig::BoardName name);

  void open() override;
  // The line hung up, or the device node (or the link naming it) is gone.
  bool gone() override;
};

}  // namespace boards
