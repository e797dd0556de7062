#include "StateReport.h"

#include <QMetaObject>
#include <algorithm>

#include "DescribedRig.h"
#include "JobThread.h"

namespace service {

bool sameState(const State& a, const State& b) {
  return a.port == b.port && a.device == b.device && a.open == b.open && a.busy == b.busy &&
         a.status == b.status && a.statusTip == b.statusTip && a.flash == b.flash &&
         a.shutter == b.shutter && a.armedAt == b.armedAt && a.roles == b.roles &&
         a.boards == b.boards && a.rig.running == b.rig.running;
}

namespace {

// A board of the file as the state shows it: its name, kind and device, and its link.
BoardStatus boardStatus(const rig::RigBoard& board, const DescribedRig& rig,
                        const rig::RigState& merged) {
  BoardStatus one;
  one.name = QString::fromStdString(board.name);
  const rig::Board* opened = nullptr;
  if (const rig::OpenedBoards* boards = rig.boards()) {
    const auto it = boards->boards().find(board.name);
    if (it != boards->boards().end()) opened = it->second;
  }
  if (board.board) {
    one.board = QString::fromStdString(board.board->text());
    one.kind = QString::fromStdString(board.board->kind);
    one.device =
        QString::fromStdString(opened != nullptr ? opened->device() : rig::deviceOf(*board.board));
  }
  // Open together, or closed together while one of them is lost.
  const std::optional<rig::RigBoard>& lost = rig.lostBoard();
  one.link = rig.roles() != nullptr             ? QStringLiteral("open")
             : lost && lost->name == board.name ? QStringLiteral("lost")
             : lost                             ? QStringLiteral("closed")
                                                : linkWord(merged.link);
  return one;
}

}  // namespace

State describedState(rig::RigState merged, const DescribedRig& rig) {
  const rig::RigDescription& description = rig.description();
  const rig::RoleState roles = rig.roles() != nullptr ? rig.roles()->state() : rig.unopenedRoles();
  const auto any = [](rig::LineState line) { return line == rig::LineState::On; };
  bool flashOn = false;
  bool flashesKnown = !roles.flashes.empty();
  for (const rig::FlashLine& flash : roles.flashes) {
    flashOn = flashOn || any(flash.line);
    flashesKnown = flashesKnown && flash.line != rig::LineState::Unknown;
  }
  merged.flash = flashOn ? rig::Flash::On : flashesKnown ? rig::Flash::Off : rig::Flash::Unknown;
  const bool shutterOpen =
      std::any_of(roles.cameras.begin(), roles.cameras.end(),
                  [&any](const rig::CameraLines& c) { return any(c.shutter); });
  merged.shutter = shutterOpen ? rig::Shutter::Open : rig::Shutter::Closed;
  State described = stateOf(merged);
  described.roles = roles;
  described.open = rig.roles() != nullptr;
  described.rigFile = QString::fromStdString(description.file);
  for (const rig::RigCamera& camera : description.cameras)
    described.cameraBoards.push_back(QString::fromStdString(camera.shutter.board));
  for (const rig::RigFlash& flash : description.flashes)
    described.flashBoards.push_back(QString::fromStdString(flash.line.board));
  for (const rig::RigBoard& board : description.boards)
    described.boards.push_back(boardStatus(board, rig, merged));
  return described;
}

void LineNotes::note(const rig::RoleState& state, Recorder& recorder) {
  const auto note = [&recorder](const std::string& role, rig::LineState was, rig::LineState now) {
    if (now == was || now == rig::LineState::Unknown) return;
    recorder.note(role + (now == rig::LineState::On ? " on" : " off"));
  };
  for (std::size_t i = 0; i < state.cameras.size() && i < noted_.cameras.size(); ++i) {
    const rig::CameraLines& camera = state.cameras[i];
    const rig::CameraLines& was = noted_.cameras[i];
    if (camera.focus && was.focus)
      note("camera " + camera.name + " focus", *was.focus, *camera.focus);
    note("camera " + camera.name + " shutter", was.shutter, camera.shutter);
  }
  for (std::size_t i = 0; i < state.flashes.size() && i < noted_.flashes.size(); ++i) {
    note("flash " + state.flashes[i].name, noted_.flashes[i].line, state.flashes[i].line);
  }
  noted_ = state;
}

void StateReporter::report(const State& state) {
  if (reportedOnce_ && sameState(state, reported_)) return;
  reported_ = state;
  reportedOnce_ = true;
  JobThread::answer(&owner_, publish_, state);
}

}  // namespace service
