#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "Clock.h"
#include "Panel.h"
#include "SerialControl.h"

namespace rig {

// The rig's operations, run by the rig service and by quillmar-cli on a port of its own. They work
// on the serial control, the window's controls and the clock given at construction, and hold no
// relay state of their own: every action asks the module before it switches.
//
// Failures: a port that cannot be opened is reported through the status box ("Port Not Found"),
// and openComPort and autoFindPort return its kind; the reset after a successful opening can
// still throw. Every other operation throws SerialError at the failing step; the steps after it
// are not done.
class Rig {
 public:
  Rig(SerialControl& serial, Panel& panel, Clock& clock);

  // Click of "Open Com Port": "AUTOMATIC" scans for the module, anything else opens by number.
  // Returns the kind of failure that ended in "Port Not Found", nothing when a port opened.
  std::optional<FailureKind> openComPort();

  // Click of "Main Flash": reads relay 0 and switches it to the other state.
  void toggleFlash();
  // Click of "Camera Shutter": a half-second pulse of relay 1 when it reads off; always ends
  // with "relay off 1".
  void pulseShutter();
  // Click of "Start": pulse, pause, toggle, pause, pulse, pause, toggle.
  void runTwoShotSequence();

  // Shared operations.
  void sendRelayCommand(std::string_view command);
  // The whole reply to a state query for the relay; throws when the module does not answer.
  std::string queryRelay(int relay);
  void halfSecondPause();
  // Relay 0 off, pause, relay 1 off, with the idle captions.
  void resetRig();
  // Tries ports 1 to 15 for the module and leaves the first that answers open; returns the
  // failure's kind when none did.
  std::optional<FailureKind> autoFindPort();

 private:
  std::optional<FailureKind> openByNumber();
  FailureKind portNotFound(const std::string& reason, FailureKind kind);
  void discardPending();
  std::string collectReply(Clock::duration firstByteTimeout, Clock::duration limit);

  SerialControl& serial_;
  Panel& panel_;
  Clock& clock_;
  // When the last command went out: the line is not quiet until its answer has had time to come.
  Clock::time_point lastSent_{};
};

}  // namespace rig
