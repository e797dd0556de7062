#pragma once

#include <memory>
#include <optional>
#include <vector>

#include "Board.h"

namespace rig {

// Where boards of every kind are found by their names: the rig and the command line reach
// boards through it, and the board libraries (serial ports, Modbus, HID) implement it.
class BoardSource {
 public:
  BoardSource() = default;
  BoardSource(const BoardSource&) = delete;
  BoardSource& operator=(const BoardSource&) = delete;
  virtual ~BoardSource() = default;

  // Every board present now, of every kind the source knows; a board that cannot be read is
  // left out rather than guessed at, and its port told among those passed over.
  virtual Listing list() = 0;
  // The board named `name`, not yet opened. `relays`: the relays it is to have, where the board
  // cannot tell (a CH340 board's relays, a Modbus board's coils); a board that tells its own
  // count keeps it. Throws SerialError: NoDevice when no board has that identity, Ambiguous when
  // two boards claim it, Other (with "has N relays, the file asks for M") when the board has
  // fewer relays than asked.
  virtual std::unique_ptr<Board> find(const BoardName& name,
                                      std::optional<int> relays = std::nullopt) = 0;
};

}  // namespace rig
