#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "LineRecorder.h"
#include "StateReport.h"
#include "boards/text/Rig.h"
#include "rig/BoardSource.h"
#include "rig/Clock.h"
#include "rig/Failure.h"
#include "rig/OpenedBoards.h"
#include "rig/RigDescription.h"
#include "rig/RoleRig.h"

namespace service {

// The rig the service acts on, as a description: the panel's own (two relays of the module on
// the opened port, whose engine is the text rig's) or a rig file's (--rig-file), whose boards are
// found through a board source by their names, opened together and closed together. Lives on
// the service's thread; the description is set before requests come and read from any thread.
class DescribedRig {
 public:
  // From now on the rig is the file's: its boards are found through `source`.
  void use(rig::RigDescription description, std::unique_ptr<rig::BoardSource> source);
  // Whether a rig file describes the rig (else it is the panel's).
  bool fromFile() const { return fromFile_; }
  const rig::RigDescription& description() const { return description_; }

  // Opens the file's boards afresh and resets their lines, shown on `rig`'s status as the port's
  // opening is; the failure, nothing when every board opened. `again`: a lost board is back,
  // shown reconnected. Each switch of a line is noted on `recorder`, then `changed` runs.
  std::optional<rig::Failure> open(rig::Rig& rig, rig::Clock& clock, Recorder& recorder, bool again,
                                   std::function<void()> changed);
  // The file's engine while its boards are open, else none.
  rig::RoleRig* roles() const { return roles_.get(); }
  // The file's boards while they are open, else none.
  const rig::OpenedBoards* boards() const { return boards_.get(); }
  // The engine of the rig in use for an action: the panel's is `panel`'s; a rig file's throws
  // NotOpen while its boards are not open.
  rig::RoleRig& engine(rig::Rig& panel);
  // The same, or none while a rig file's boards are not open.
  const rig::RoleRig* openEngine(rig::Rig& panel) const;

  // A board lost since the last look: every board is closed (the rig is opened and reset whole
  // once it is back, and no action switches a line on a board that was not reset), and the lost
  // one is awaited. Its entry, or none.
  const rig::RigBoard* closeIfLost();
  // The board awaited since a loss, if any.
  const std::optional<rig::RigBoard>& lostBoard() const { return lostBoard_; }
  // Whether the awaited board is found again by its name.
  bool lostIsBack();
  // Closes every board (the thread's end).
  void close();
  // The cameras and flashes while the boards are not open: every line unknown.
  rig::RoleState unopenedRoles() const;

  // A camera as a stop's words name it: by its relay on the module on the opened port ("relay
  // 1"), else by its name ("camera left").
  std::string cameraWords(std::size_t camera) const;
  // The open rig's boards for people: "board top (text-id:RIG02 on /dev/ttyACM0), ...".
  std::string boardsText() const;

 private:
  rig::RigDescription description_ = rig::builtInRig();
  bool fromFile_ = false;
  std::unique_ptr<rig::BoardSource> source_;
  std::unique_ptr<rig::OpenedBoards> boards_;
  std::unique_ptr<rig::RoleRig> roles_;
  LineNotes notes_;
  std::optional<rig::RigBoard> lostBoard_;
};

}  // namespace service
