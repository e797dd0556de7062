#pragma once

#include <memory>
#include <utility>
#include <vector>

#include "Board.h"
#include "BoardSource.h"
#include "RigDescription.h"
#include "RoleRig.h"

namespace rig {

// The boards of a described rig, found by their names and opened, for a RoleRig; the boards it
// opened are closed when it goes.
class OpenedBoards {
 public:
  // Finds every board the description names through `source` and opens it; a board the
  // description leaves unnamed is `module`, the text module on the port the operator opened, which
  // must be open. Each board must have the relays the description gives it and every relay its
  // lines use (a board that cannot tell its count before a reading is read once). Throws
  // SerialError naming the board that cannot be found, opened or used; the boards opened before
  // it are closed again.
  OpenedBoards(const RigDescription& description, BoardSource& source, Board* module = nullptr);
  ~OpenedBoards();
  OpenedBoards(const OpenedBoards&) = delete;
  OpenedBoards& operator=(const OpenedBoards&) = delete;

  const RigBoards& boards() const { return boards_; }
  // The description's entry of the first board it opened that has been lost since: its device
  // went away, or a failure closed it. Nothing while every one is open and there.
  const RigBoard* lost() const;

 private:
  void closeAll() noexcept;

  std::vector<std::unique_ptr<Board>> owned_;
  std::vector<std::pair<RigBoard, Board*>> watched_;  // the owned ones, by their entries
  RigBoards boards_;
};

}  // namespace rig
