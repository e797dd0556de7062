#include "Rig.h"

#include <algorithm>
#include <chrono>
#include <exception>

#include "Protocol.h"

namespace rig {

namespace {

using namespace std::chrono_literals;
using protocol::kFlashRelay;
using protocol::kShutterRelay;

constexpr auto kHalfSecond = 500ms;
// A command reaches the module a little after it was handed to the line, and not always equally
// soon: the one that starts a pause can arrive up to a few tenths of a millisecond later than the
// one that ends it. Pauses are held this much longer, so the module never counts less than half
// a second between them.
constexpr auto kDeliveryMargin = 500us;

// Reading replies. The module is polled at a short interval; the wait between polls goes through
// the clock, so it sleeps.
constexpr auto kPollInterval = 2ms;
// Leftovers of earlier commands are dropped until the line has been quiet this long...
constexpr auto kDrainQuiet = 20ms;
// ...but never for longer than this, even on a line that never goes quiet.
constexpr auto kDrainLimit = 250ms;
// A reply that has started is over when nothing more arrives for this long.
constexpr auto kReplyQuiet = 50ms;
// A query with no byte of answer within this time is sent again...
constexpr auto kAnswerTimeout = 300ms;
// ...up to this many times in all.
constexpr int kQuerySends = 3;
// A reply that keeps coming is cut off after this long or this many bytes.
constexpr auto kReplyLimit = 1s;
constexpr std::size_t kReplyMaxBytes = 1024;

constexpr int kFirstScanPort = 1;
constexpr int kLastScanPort = 15;
constexpr std::string_view kAutomatic = "AUTOMATIC";

constexpr Control kActionButtons[] = {Control::Command2, Control::Command5, Control::Command6,
                                      Control::Command8};

// For messages: long operator input is shortened, and control characters are escaped.
std::string quoted(const std::string& text) {
  constexpr std::size_t kShown = 40;
  const std::string shown = text.size() > kShown ? text.substr(0, kShown) + "..." : text;
  return "\"" + protocol::escaped(shown, true) + "\"";
}

}  // namespace

Rig::Rig(SerialControl& serial, Panel& panel, Clock& clock)
    : serial_(serial), panel_(panel), clock_(clock) {}

void Rig::sendRelayCommand(std::string_view command) {
  serial_.output(protocol::frame(command));
  lastSent_ = clock_.now();
}

void Rig::halfSecondPause() { clock_.waitFor(kHalfSecond + kDeliveryMargin); }

void Rig::discardPending() {
  serial_.input();
  const auto start = clock_.now();
  for (;;) {
    // A command just sent may not have been answered yet: its answer is a leftover too.
    const auto quietUntil = std::max(serial_.lastReceived(), lastSent_) + kDrainQuiet;
    const auto giveUp = start + kDrainLimit;
    const auto now = clock_.now();
    if (now >= quietUntil || now >= giveUp) return;
    clock_.waitUntil(std::min(quietUntil, giveUp));
    serial_.input();
  }
}

std::string Rig::collectReply(Clock::duration firstByteTimeout, Clock::duration limit) {
  std::string reply;
  const auto start = clock_.now();
  auto lastByte = start;
  for (;;) {
    const std::string chunk = serial_.input();
    const auto now = clock_.now();
    if (!chunk.empty()) {
      reply += chunk;
      lastByte = now;
      if (protocol::looksComplete(reply) || reply.size() >= kReplyMaxBytes) return reply;
    }
    if (reply.empty() ? now - start >= firstByteTimeout : now - lastByte >= kReplyQuiet) {
      return reply;
    }
    if (now - start >= limit) return reply;
    clock_.waitFor(kPollInterval);
  }
}

std::string Rig::queryRelay(int relay) {
  discardPending();
  const std::string command = protocol::readCommand(relay);
  for (int send = 0; send < kQuerySends; ++send) {
    sendRelayCommand(command);
    std::string reply = collectReply(kAnswerTimeout, kReplyLimit);
    if (!reply.empty()) return reply;
  }
  throw SerialError(serial_.portNumber(), serial_.device(), "the relay module did not answer",
                    FailureKind::NoAnswer);
}

void Rig::resetRig() {
  sendRelayCommand(protocol::switchCommand(kFlashRelay, false));
  panel_.setText(Control::Command5, "Flash 1");
  halfSecondPause();
  sendRelayCommand(protocol::switchCommand(kShutterRelay, false));
  panel_.setText(Control::Command6, "Shutter");
}

FailureKind Rig::portNotFound(const std::string& reason, FailureKind kind) {
  panel_.setText(Control::Text3, "Port Not Found");
  panel_.setToolTip(Control::Text3, reason);
  return kind;
}

std::optional<FailureKind> Rig::openComPort() {
  if (panel_.text(Control::Combo1) == kAutomatic) {
    const auto failure = autoFindPort();
    // The scan has reset the rig on success; the click resets it once more. With no port open
    // there is nothing to reset, and the scan's result stays on view.
    if (serial_.portOpen()) resetRig();
    return failure;
  }
  return openByNumber();
}

std::optional<FailureKind> Rig::openByNumber() {
  const std::string choice = panel_.text(Control::Combo1);
  const auto number = protocol::toInteger16(choice);
  if (!number) {
    return portNotFound(quoted(choice) + " is not a port number", FailureKind::NoDevice);
  }
  try {
    serial_.setPortNumber(*number);
    serial_.setPortOpen(true);
    for (const Control button : kActionButtons) panel_.setEnabled(button, true);
    panel_.setText(Control::Text3, "Port Found and Opened");
    panel_.setToolTip(Control::Text3, serial_.device());
    resetRig();
  } catch (const SerialError& error) {
    // Nothing is undone: a port that opened stays open, enabled buttons stay enabled.
    return portNotFound(error.what(), error.kind());
  } catch (const std::exception& error) {
    return portNotFound(error.what(), FailureKind::Other);
  }
  return std::nullopt;
}

std::optional<FailureKind> Rig::autoFindPort() {
  // Start from a closed port, so every number from 1 to 15 is really tried and the selector
  // ends on the port that is open.
  try {
    serial_.setPortOpen(false);
  } catch (const std::exception&) {
  }

  // A port that opened but failed while being asked (the device went away): told at the end, so
  // a module pulled out during the scan is not just "not found".
  std::string failedWhileAsked;
  FailureKind failedKind = FailureKind::NoDevice;  // until a port opens: nothing was there
  for (int port = kFirstScanPort; port <= kLastScanPort; ++port) {
    panel_.setText(Control::Combo1, std::to_string(port));
    try {
      serial_.setPortNumber(port);
      serial_.setPortOpen(true);
    } catch (const std::exception&) {
      continue;  // absent or held: nothing can answer there, so no wait either
    }

    std::string reply;
    bool answered = false;
    try {
      serial_.input();  // whatever was pending before the question is not its answer
      sendRelayCommand(protocol::kIdGet);
      if (failedWhileAsked.empty()) failedKind = FailureKind::NoAnswer;
      reply = collectReply(kHalfSecond, kHalfSecond);
      answered = true;
      panel_.setText(Control::Text2, reply);
    } catch (const SerialError& error) {
      failedWhileAsked = error.what();
      failedKind = error.kind();
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
    panel_.setText(Control::Text3, "Port found and opened");
    panel_.setToolTip(Control::Text3, serial_.device());
    panel_.setText(Control::Command1, "Port Open");
    for (const Control button : kActionButtons) panel_.setEnabled(button, true);
    try {
      resetRig();
    } catch (const std::exception&) {
      // A failed reset ends the scan quietly; the click's own reset reports it.
    }
    return std::nullopt;
  }
  std::string reason = "no relay module answered on ports 1 to 15";
  if (!failedWhileAsked.empty()) reason += "; " + failedWhileAsked;
  return portNotFound(reason, failedKind);
}

void Rig::toggleFlash() {
  const std::string reply = queryRelay(kFlashRelay);
  panel_.setText(Control::Text4, reply);
  if (protocol::readsOff(reply)) {
    sendRelayCommand(protocol::switchCommand(kFlashRelay, true));
    panel_.setText(Control::Command5, "Flash 2");
  } else {
    sendRelayCommand(protocol::switchCommand(kFlashRelay, false));
    panel_.setText(Control::Command5, "Flash 1");
  }
}

void Rig::pulseShutter() {
  std::string reply;
  try {
    reply = queryRelay(kShutterRelay);
  } catch (const SerialError&) {
    // The shutter's state is unknown: it is not switched on, but it still ends commanded off.
    try {
      sendRelayCommand(protocol::switchCommand(kShutterRelay, false));
      panel_.setText(Control::Command6, "Camera Shutter");
    } catch (const SerialError&) {
      // The line is gone as well; the query's failure is the one to report.
    }
    throw;
  }
  panel_.setText(Control::Text4, reply);
  if (protocol::readsOff(reply)) {
    sendRelayCommand(protocol::switchCommand(kShutterRelay, true));
    panel_.setText(Control::Command6, "Shutter Open");
  }
  halfSecondPause();
  sendRelayCommand(protocol::switchCommand(kShutterRelay, false));
  panel_.setText(Control::Command6, "Camera Shutter");
}

void Rig::runTwoShotSequence() {
  pulseShutter();
  halfSecondPause();
  toggleFlash();
  halfSecondPause();
  pulseShutter();
  halfSecondPause();
  toggleFlash();
}

}  // namespace rig
