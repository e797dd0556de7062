#include "NamedBoard.h"

#include <exception>
#include <utility>

#include "boards/text/TextDiscovery.h"
#include "rig/Protocol.h"

namespace service {

NamedBoard::NamedBoard(rig::BoardName name, std::unique_ptr<rig::BoardSource> source, bool ownLine)
    : name_(std::move(name)), source_(std::move(source)), ownLine_(ownLine) {}

std::optional<rig::Failure> NamedBoard::open(rig::Rig& rig, rig::SerialControl& serial,
                                             rig::Clock& clock, bool again) {
  opened_ = false;
  std::unique_ptr<rig::Board> board = again ? std::exchange(found_, nullptr) : nullptr;
  try {
    if (onSerialControl()) {
      const rig::ResolvedPort port = rig::resolveTextBoard(name_, serial, clock);
      return rig.openComPort(std::to_string(port.port));
    }
    if (!board) board = source_->find(name_);
  } catch (const rig::SerialError& error) {
    return rig.showNotFound(error.what(), error.kind());
  }
  auto failure = rig.openBoard(*board, again);
  // The rig has let go of the board it used before (closed it); it may go now.
  board_ = std::move(board);
  opened_ = !failure;
  return failure;
}

bool NamedBoard::lost() {
  if (!opened_ || !board_) return false;
  if (board_->isOpen() && !board_->gone()) return false;
  opened_ = false;
  try {
    board_->close();
  } catch (const std::exception&) {
  }
  return true;
}

bool NamedBoard::findAgain() {
  try {
    found_ = source_->find(name_);
  } catch (const rig::CutShort&) {
    throw;  // the service is ending: no search to tell of
  } catch (const std::exception&) {
    found_.reset();
  }
  return found_ != nullptr;
}

}  // namespace service
