#include "Rig.h"

#include <algorithm>
#include <chrono>
#include <exception>
#include <functional>
#include <utility>

#include "rig/Protocol.h"
#include "rig/RigDescription.h"
#include "rig/RoleRig.h"

namespace rig {

namespace {

using namespace std::chrono_literals;

// The scan gives each port half a second to answer "id get".
constexpr auto kHalfSecond = 500ms;
constexpr int kFirstScanPort = 1;
constexpr int kLastScanPort = 15;
constexpr std::string_view kAutomatic = "AUTOMATIC";

// For messages: long operator input is shortened, and control characters are escaped.
std::string quoted(const std::string& text) {
  constexpr std::size_t kShown = 40;
  const std::string shown = text.size() > kShown ? text.substr(0, kShown) + "..." : text;
  return "\"" + protocol::escapedText(shown, true) + "\"";
}

// Why a port could not be opened, in a word or two for the scan's list of untried ports.
std::string shortReason(const SerialError& error) {
  switch (error.kind()) {
    case FailureKind::Busy:
      return "busy";
    case FailureKind::Permission:
      return "permission denied";
    case FailureKind::NotSerialPort:
      return "not a serial port";
    default:
      return error.reason();
  }
}

}  // namespace

Rig::Rig(SerialControl& serial, Clock& clock)
    : serial_(serial), clock_(clock), text_(serial, clock), board_(&text_) {
  text_.setReplyObserver(replyObserver());
  makeEngine();
}

Board::ReplyObserver Rig::replyObserver() {
  return [this](const std::string& reply) {
    update(Change::RelayReply, [&](RigState& s) { s.relayReply = reply; });
  };
}

RigState Rig::state() const {
  RigState state = state_;
  state.port = serial_.portNumber();
  state.device = describedBoards_.empty() ? serial_.device() : describedBoards_;
  state.open = serial_.portOpen();
  if (board_ != &text_) {
    state.device = board_->name().text();
    state.open = board_->isOpen();
  }
  return state;
}

std::string Rig::queryRelay(int relay) { return text_.queryRelay(relay); }

bool Rig::relayOn(int relay, const std::string& reply) const { return text_.relayOn(relay, reply); }

void Rig::resetRig() {
  closedAs_ = Shutter::ClosedByReset;
  try {
    engine_->reset();
  } catch (...) {  // passes on, the shutter closed
    closedAs_ = Shutter::Closed;
    throw;
  }
  closedAs_ = Shutter::Closed;
}

Failure Rig::portNotFound(const std::string& reason, FailureKind kind) {
  update(Change::Link, [&](RigState& s) {
    s.link = Link::NotFound;
    s.reason = reason;
    s.reconnected = false;
  });
  return shownFailure(kind, reason);
}

Failure Rig::portLost(const std::string& message, FailureKind kind) {
  showLost(message);
  return shownFailure(kind, message);
}

Failure Rig::shownFailure(FailureKind kind, std::string reason) const {
  const RigState now = state();
  return {kind, now.port, now.device, std::move(reason)};
}

void Rig::showLost(const std::string& message) {
  update(Change::Link, [&](RigState& s) {
    s.link = Link::Lost;
    s.reason = message;
    s.reconnected = false;
  });
}

void Rig::showOpened(bool again, const std::string& boards) {
  useTextBoard();
  try {
    serial_.setPortOpen(false);
  } catch (const std::exception&) {
  }
  module_.reset();
  describedBoards_ = boards;
  showLinkOpened(again);
}

void Rig::showLinkOpened(bool again) {
  update(Change::Link, [again](RigState& s) {
    s.actionsEnabled = true;
    s.link = Link::Opened;
    s.reason.clear();
    s.reconnected = again;
  });
}

void Rig::refreshPorts() {
  ports_ = serial_.refreshPorts();
  module_.reset();
}

void Rig::noteOpened(int number, Link link) {
  const auto index = static_cast<std::size_t>(number - 1);
  if (number >= 1 && index < ports_.size()) {
    module_ = ports_[index];
  } else {
    // A control that does not list its ports: its device path is all there is to go by.
    module_ = DeviceInfo{};
    module_->path = serial_.device();
    module_->byPath = true;
  }
  openedLink_ = link;
}

void Rig::useTextBoard() {
  if (board_ == &text_) return;
  try {
    board_->close();
  } catch (const std::exception&) {
  }
  board_ = &text_;
  makeEngine();
}

std::optional<Failure> Rig::openBoard(Board& board, bool again) {
  if (board_ != &board) {
    useTextBoard();
    try {
      serial_.setPortOpen(false);
    } catch (const std::exception&) {
    }
  }
  if (board_ != &board) {
    board_ = &board;
    makeEngine();
  }
  board.setReplyObserver(replyObserver());
  module_.reset();
  return openThenReset(
      [&board] {
        if (board.isOpen()) board.close();
        board.open();
      },
      again);
}

std::optional<Failure> Rig::openThenReset(const std::function<void()>& open, bool reconnected) {
  bool opened = false;
  try {
    open();
    opened = true;
    showLinkOpened(reconnected);
    resetRig();
  } catch (const SerialError& error) {
    // Nothing is undone: a port that opened stays open, enabled buttons stay enabled. A port
    // that opened and then went away was found: it is lost, not missing.
    if (opened && !board_->isOpen()) return portLost(error.what(), error.kind());
    return portNotFound(error.what(), error.kind());
  } catch (const CutShort&) {
    throw;  // ended early: no failure of the opening
  } catch (const std::exception& error) {
    return portNotFound(error.what(), FailureKind::Other);
  }
  return std::nullopt;
}

std::optional<Failure> Rig::openComPort(const std::string& choice) {
  useTextBoard();
  if (choice == kAutomatic) {
    auto failure = autoFindPort();
    // The scan has reset the rig on success; the click resets it once more. With no port open
    // there is nothing to reset, and the scan's result stays on view.
    if (!failure && serial_.portOpen()) {
      try {
        resetRig();
      } catch (const SerialError& error) {
        if (!serial_.portOpen()) return portLost(error.what(), error.kind());
        throw;
      }
    }
    return failure;
  }
  return openByNumber(choice);
}

std::optional<Failure> Rig::openByNumber(const std::string& choice) {
  // The port the screen names is the one in use: an open port is closed before another (or the
  // same one, which is then reset) is opened.
  try {
    serial_.setPortOpen(false);
  } catch (const std::exception&) {
  }
  refreshPorts();
  const auto number = protocol::toInteger16(choice);
  if (!number) {
    return portNotFound(quoted(choice) + " is not a port number", FailureKind::NoDevice);
  }
  return openThenReset([&] {
    serial_.setPortNumber(*number);
    serial_.setPortOpen(true);
    noteOpened(*number, Link::Opened);
  });
}

std::optional<Failure> Rig::reopen(int number, const DeviceInfo& device,
                                   const std::string& lostMessage) {
  useTextBoard();
  try {
    serial_.setPortOpen(false);
    serial_.setPortNumber(number);
    update(Change::Port, [](RigState&) {});
    serial_.setPortOpen(true);
  } catch (const SerialError& error) {
    std::string reason = lostMessage + "; reopening failed: " + error.reason();
    update(Change::Link, [&](RigState& s) { s.reason = reason; });
    return shownFailure(error.kind(), std::move(reason));
  }
  module_ = device;
  update(Change::Link, [this](RigState& s) {
    s.actionsEnabled = true;
    s.link = openedLink_ == Link::NotOpened ? Link::Opened : openedLink_;
    s.reason.clear();
    s.reconnected = true;
  });
  try {
    resetRig();
  } catch (const SerialError& error) {
    if (!serial_.portOpen()) return portLost(error.what(), error.kind());
    update(Change::Link, [&](RigState& s) { s.reason = error.reason(); });
    return shownFailure(error.kind(), error.reason());
  }
  return std::nullopt;
}

std::optional<Failure> Rig::autoFindPort() {
  // Start from a closed port, so every number from 1 to 15 is really tried and the selector
  // ends on the port that is open.
  try {
    serial_.setPortOpen(false);
  } catch (const std::exception&) {
  }
  refreshPorts();

  // A port that opened but failed while being asked (the device went away): told at the end, so
  // a module pulled out during the scan is not just "not found".
  std::string failedWhileAsked;
  FailureKind failedKind = FailureKind::NoDevice;  // until a port opens: nothing was there
  // Ports with a device that could not be opened, and why: "port 2 (/dev/ttyACM0): busy".
  std::string untried;
  for (int port = kFirstScanPort; port <= kLastScanPort; ++port) {
    try {
      serial_.setPortNumber(port);
      update(Change::Port, [](RigState&) {});
      serial_.setPortOpen(true);
    } catch (const SerialError& error) {
      // Absent or held: nothing can answer there, so no wait either.
      if (error.kind() != FailureKind::NoDevice) {
        if (!untried.empty()) untried += ", ";
        untried += SerialError(error.port(), error.device(), shortReason(error)).what();
      }
      continue;
    } catch (const std::exception&) {
      continue;
    }

    std::string reply;
    bool answered = false;
    try {
      // The drain before "id get" counts towards the port's half second, so a scan takes no
      // longer for it.
      const auto opened = clock_.now();
      reply = text_.identify(opened, opened + kHalfSecond);
      if (failedWhileAsked.empty()) failedKind = FailureKind::NoAnswer;
      answered = true;
      update(Change::Identification, [&](RigState& s) { s.identification = reply; });
    } catch (const SerialError& error) {
      failedWhileAsked = error.what();
      failedKind = error.kind();
    } catch (const CutShort&) {
      throw;  // the scan ends with the wait
    } catch (const std::exception& error) {
      failedWhileAsked = error.what();
      failedKind = FailureKind::Other;
    }
    try {
      serial_.setPortOpen(false);
    } catch (const std::exception&) {
    }
    if (!answered || !protocol::namesModule(reply)) continue;

    try {
      serial_.setPortOpen(true);
    } catch (const SerialError& error) {
      // The module answered but its port cannot be opened again: that is no success.
      return portNotFound(error.what(), error.kind());
    } catch (const std::exception& error) {
      return portNotFound(error.what(), FailureKind::Other);
    }
    noteOpened(port, Link::OpenedBySearch);
    update(Change::Link, [](RigState& s) {
      s.link = Link::OpenedBySearch;
      s.reason.clear();
      s.reconnected = false;
      s.actionsEnabled = true;
    });
    update(Change::FoundBySearch, [](RigState& s) { s.foundBySearch = true; });
    try {
      resetRig();
    } catch (const SerialError& error) {
      // The module went away during the reset: found, then lost.
      if (!serial_.portOpen()) return portLost(error.what(), error.kind());
      // Otherwise the scan ends quietly; the click's own reset reports it.
    } catch (const CutShort&) {
      throw;  // the scan ends with the wait
    } catch (const std::exception&) {
    }
    return std::nullopt;
  }
  std::string reason = "no relay module answered on ports 1 to 15";
  if (!failedWhileAsked.empty()) reason += "; " + failedWhileAsked;
  if (!untried.empty()) reason += "; could not try " + untried;
  return portNotFound(reason, failedKind);
}

void Rig::toggleFlash() { engine_->flash(); }

void Rig::pulseShutter(const Timings& timings) { engine_->shutter({}, timings); }

void Rig::runTwoShotSequence(const Timings& timings) { engine_->sequence(timings); }

void Rig::makeEngine() {
  // The panel's rig as described, on the board the actions use now: the engine of every rig,
  // in the two-relay module's manner.
  engine_ = std::make_unique<RoleRig>(builtInRig(), RigBoards{{"module", board_}}, clock_);
  armedEnded_ = false;
  RoleRig& engine = *engine_;
  engine.setLineObserver([this, &engine](const LineState& line) {
    const bool on = line == LineState::On;
    if (&line == &engine.state().flashes.front().line) {
      update(Change::Flash, [on](RigState& s) { s.flash = on ? Flash::On : Flash::Off; });
      return;
    }
    armedEnded_ = on && state_.armedAt.has_value();
    // The shutter open and the wait's end are one state, told to the channels once.
    update(Change::Shutter, [on, closed = closedAs_](RigState& s) {
      s.shutter = on ? Shutter::Open : closed;
      if (on) s.armedAt.reset();
    });
  });
  engine.setObserver([this, &engine](const RoleState&) {
    if (std::exchange(armedEnded_, false)) {
      if (observer_) observer_(state(), Change::Armed);
    } else if (engine.armedAt() != state_.armedAt) {
      update(Change::Armed, [&engine](RigState& s) { s.armedAt = engine.armedAt(); });
    }
  });
}

}  // namespace rig
