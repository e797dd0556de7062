#include "DescribedRig.h"

#include <algorithm>
#include <exception>
#include <utility>

namespace service {

void DescribedRig::use(rig::RigDescription description, std::unique_ptr<rig::BoardSource> source) {
  description_ = std::move(description);
  source_ = std::move(source);
  fromFile_ = true;
}

std::optional<rig::Failure> DescribedRig::open(rig::Rig& rig, rig::Clock& clock, Recorder& recorder,
                                               bool again, std::function<void()> changed) {
  roles_.reset();
  boards_.reset();
  notes_.reset();
  try {
    boards_ = std::make_unique<rig::OpenedBoards>(description_, *source_);
    roles_ = std::make_unique<rig::RoleRig>(description_, boards_->boards(), clock);
    roles_->checkMoments();
    notes_.reset(roles_->state());
    roles_->setObserver(
        [this, &recorder, changed = std::move(changed)](const rig::RoleState& state) {
          notes_.note(state, recorder);
          changed();
        });
    rig.showOpened(again, boardsText());
    roles_->reset();
    lostBoard_.reset();
  } catch (const rig::SerialError& error) {
    roles_.reset();
    boards_.reset();
    return rig.showNotFound(error.what(), error.kind());
  }
  return std::nullopt;
}

rig::RoleRig& DescribedRig::engine(rig::Rig& panel) {
  if (!fromFile_) return panel.engine();
  if (!roles_) {
    throw rig::SerialError(rig::Failure{rig::FailureKind::NotOpen,
                                        std::nullopt,
                                        {},
                                        "the rig's boards are not open: open them first"});
  }
  return *roles_;
}

const rig::RoleRig* DescribedRig::openEngine(rig::Rig& panel) const {
  return fromFile_ ? roles_.get() : &panel.engine();
}

const rig::RigBoard* DescribedRig::closeIfLost() {
  const rig::RigBoard* lost = boards_ ? boards_->lost() : nullptr;
  if (lost == nullptr) return nullptr;
  lostBoard_ = *lost;
  roles_.reset();
  boards_.reset();
  return &*lostBoard_;
}

bool DescribedRig::lostIsBack() {
  try {
    return source_->find(*lostBoard_->board, lostBoard_->relays) != nullptr;
  } catch (const rig::CutShort&) {
    throw;  // the service is ending: no search to tell of
  } catch (const std::exception&) {
    return false;  // not there yet
  }
}

void DescribedRig::close() {
  roles_.reset();
  boards_.reset();
  source_.reset();
}

rig::RoleState DescribedRig::unopenedRoles() const {
  rig::RoleState roles;
  for (const rig::RigCamera& camera : description_.cameras) {
    roles.cameras.push_back({camera.name, rig::LineState::Unknown,
                             camera.focus ? std::optional(rig::LineState::Unknown) : std::nullopt});
  }
  for (const rig::RigFlash& flash : description_.flashes)
    roles.flashes.push_back({flash.name, rig::LineState::Unknown});
  return roles;
}

std::string DescribedRig::cameraWords(std::size_t camera) const {
  const rig::RigCamera& described = description_.cameras.at(camera);
  const auto board = std::find_if(
      description_.boards.begin(), description_.boards.end(),
      [&described](const rig::RigBoard& b) { return b.name == described.shutter.board; });
  // The module on the opened port has always been spoken of by its relays.
  if (board != description_.boards.end() && !board->board) {
    return "relay " + std::to_string(described.shutter.relay);
  }
  return "camera " + described.name;
}

std::string DescribedRig::boardsText() const {
  std::string text;
  for (const rig::RigBoard& board : description_.boards) {
    if (!board.board) continue;
    if (!text.empty()) text += ", ";
    text += "board " + board.name + " (" + board.board->text();
    const auto it = boards_->boards().find(board.name);
    const std::string device = it != boards_->boards().end() && it->second != nullptr
                                   ? it->second->device()
                                   : std::string();
    if (!device.empty() && device != board.board->identity) text += " on " + device;
    text += ")";
  }
  return text;
}

}  // namespace service
