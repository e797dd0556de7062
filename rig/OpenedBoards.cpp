#include "OpenedBoards.h"

#include <algorithm>
#include <string>

#include "Failure.h"

namespace rig {

namespace {

// The relays board `name` must have: as many as the description says, and every line's relay.
int relaysNeeded(const RigDescription& description, const RigBoard& board) {
  int needed = board.relays.value_or(0);
  const auto need = [&](const RelayLine& line) {
    if (line.board == board.name) needed = std::max(needed, line.relay + 1);
  };
  for (const RigCamera& camera : description.cameras) {
    need(camera.shutter);
    if (camera.focus) need(*camera.focus);
  }
  for (const RigFlash& flash : description.flashes) need(flash.line);
  return needed;
}

// A board's failure, named as the rig file names the board.
SerialError boardFailed(const RigBoard& board, const std::string& what, FailureKind kind) {
  const std::string named =
      "board " + board.name + (board.board ? " (" + board.board->text() + ")" : std::string());
  return failed(kind, named + ": " + what, board.board ? board.board->text() : std::string());
}

}  // namespace

OpenedBoards::OpenedBoards(const RigDescription& description, BoardSource& source, Board* module) {
  try {
    for (const RigBoard& entry : description.boards) {
      Board* board = module;
      try {
        if (entry.board) {
          owned_.push_back(source.find(*entry.board, entry.relays));
          board = owned_.back().get();
          watched_.emplace_back(entry, board);
          board->open();
        }
      } catch (const SerialError& error) {
        throw boardFailed(entry, error.what(), error.kind());
      }
      if (board == nullptr || !board->isOpen()) {
        throw boardFailed(entry, "the module on the opened port is not open", FailureKind::NotOpen);
      }
      const int needed = relaysNeeded(description, entry);
      try {
        // A text module takes itself for the two-relay one until a reading tells it better.
        if (board->relayCount() < needed) board->readRelays();
      } catch (const SerialError& error) {
        throw boardFailed(entry, error.what(), error.kind());
      }
      if (board->relayCount() < needed) {
        // The file's own count where it gives one, else the highest line's relay.
        const bool asked = entry.relays && *entry.relays == needed;
        throw boardFailed(entry,
                          "has " + std::to_string(board->relayCount()) + " relays, " +
                              (asked ? "the file asks for " : "the rig needs ") +
                              std::to_string(needed),
                          FailureKind::Other);
      }
      boards_.emplace(entry.name, board);
    }
  } catch (...) {  // passes on, the boards closed
    closeAll();
    throw;
  }
}

OpenedBoards::~OpenedBoards() { closeAll(); }

const RigBoard* OpenedBoards::lost() const {
  for (const auto& [entry, board] : watched_) {
    if (!board->isOpen() || board->gone()) return &entry;
  }
  return nullptr;
}

void OpenedBoards::closeAll() noexcept {
  for (const std::unique_ptr<Board>& board : owned_) {
    try {
      if (board->isOpen()) board->close();
    } catch (...) {  // keeps alive: closing the others
      // Closing is all that is left to do with it; the rig's own failure is the one to report.
    }
  }
}

}  // namespace rig
