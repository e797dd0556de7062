#pragma once

#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>

#include "Clock.h"
#include "Devices.h"

namespace rig {

// What kind of failure a SerialError is, for programs that act on it (exit codes, remote
// answers); the reason text is for people.
enum class FailureKind {
  Other,
  NoDevice,       // no device for the port number, or the device does not exist
  Busy,           // held by another program
  Permission,     // the user may not open the device
  NotSerialPort,  // the device takes no line settings (a file, a folder)
  NotOpen,        // used while the port is closed
  DeviceGone,     // the open device went away or hung up
  WriteFailed,    // the bytes could not be put on the line
  NoAnswer,       // the module did not answer a query in time
  NotUnderstood,  // the module answered, but not with a state the rig can read
  Stopped,        // the action was cut short because the program is ending
  NotRun,         // the request never started: its client went away, or the program is ending
  // Armed shots:
  TooLate,              // the shot's time has passed, or is too near for the arming to finish
  Conflict,             // the shot would start before the running or armed action ends
  TooFarAhead,          // the shot's time is more than an hour ahead
  ClockUnsynchronized,  // the system clock is not synchronized, and the shot did not allow it
  Disarmed,             // the armed wait was ended before the shot
  // Board names:
  Ambiguous,  // two boards answer to the one name: which is meant cannot be told
};

// The command line's exit statuses for failures.
namespace exit_status {
constexpr int kFailure = 1;       // anything unexpected
constexpr int kPortNotFound = 2;  // no port to work on
constexpr int kSerial = 3;        // the module or its line failed
constexpr int kNotFired = 6;      // an armed shot was refused or disarmed: nothing was fired
}  // namespace exit_status

// Short stable name of a kind on the wire: "no-device", "busy", ... ("other" for Other); and
// back (Other for a name it does not know).
const char* kindName(FailureKind kind);
FailureKind kindFromName(std::string_view name);
// The command line's exit status for an action that failed with this kind.
int exitStatus(FailureKind kind);

// A failure as every channel reports it: its kind, the port and the device it happened on (no
// port for a failure that is not the line's), and the reason in words (often the system's own,
// "Permission denied").
struct Failure {
  FailureKind kind = FailureKind::Other;
  std::optional<int> port;
  std::string device;  // empty when the number maps to none
  std::string reason;
};

// A failure of the serial link, thrown.
class SerialError : public std::runtime_error {
 public:
  SerialError(int port, std::string device, std::string reason,
              FailureKind kind = FailureKind::Other);
  // A failure that is not the line's (an armed shot refused): what() is the reason alone.
  explicit SerialError(Failure failure);

  int port() const { return *failure_.port; }
  const std::string& device() const { return failure_.device; }
  const std::string& reason() const { return failure_.reason; }
  FailureKind kind() const { return failure_.kind; }
  const Failure& failure() const { return failure_; }

 private:
  Failure failure_;
};

// The serial control the main window owns: a port number, an open flag, and text in and out.
// Line settings are fixed: 9600 baud, 8 data bits, no parity, 1 stop bit, no flow control.
//
// Failures (each a SerialError):
//  - setPortNumber with a number that is not a valid port (below 1), or while the port is open;
//  - setPortOpen(true) while open, or when the port is absent or held by another program;
//  - output or input while the port is closed, or when the device has gone away.
class SerialControl {
 public:
  SerialControl() = default;
  SerialControl(const SerialControl&) = delete;
  SerialControl& operator=(const SerialControl&) = delete;
  virtual ~SerialControl() = default;

  // 1-based; 1 until set.
  virtual int portNumber() const = 0;
  virtual void setPortNumber(int number) = 0;

  virtual bool portOpen() const = 0;
  // true opens the port at the fixed line settings; false closes it (nothing happens when it is
  // already closed).
  virtual void setPortOpen(bool open) = 0;

  // Puts every byte of `text` on the line before it returns.
  virtual void output(std::string_view text) = 0;

  // Everything received and not yet read, removed from the receive buffer (at most 1024 bytes
  // are held); empty when nothing is pending.
  virtual std::string input() = 0;

  // When the last byte was received on this port (time_point{} when none since it opened), on
  // the same monotonic scale as Clock::now().
  virtual Clock::time_point lastReceived() const = 0;

  // Takes in what has reached the port and notes when, keeping it for input(); nothing else
  // runs. A long wait calls it, so lastReceived() is current when the wait ends. Every control
  // says what it does here (a wrapper that forgot to pass it on would make each query wait for
  // a quiet line anew).
  virtual void takeIn() = 0;

  // The device the current port number maps to, for messages; empty when it maps to none.
  virtual std::string device() const = 0;

  // Called with a message naming port, device and reason when the open port fails on its own
  // (the device went away), on the thread that uses the control. Controls whose ports cannot
  // fail that way never call it.
  using LossHandler = std::function<void(const std::string& message)>;
  virtual void setLossHandler(const LossHandler& /*handler*/) {}

  // The ports by number as they are now, with what identifies each device. A control that maps
  // numbers to the system's devices reads them afresh here, and its numbering follows; one with
  // a fixed list only looks which of its devices are there. Empty when the control cannot tell.
  virtual PortList refreshPorts() { return {}; }

  // Calls `changed` whenever a device may have come or gone, on the thread that uses the
  // control, until stopWatching(). Controls that cannot watch never call it.
  using ChangeHandler = std::function<void()>;
  virtual void watchDevices(const ChangeHandler& /*changed*/) {}
  virtual void stopWatching() {}
};

// A serial control that hands every call to another one: the base of wrappers that watch the
// traffic (a command log, a recorder in tests) and override only what they watch.
class ForwardingSerialControl : public SerialControl {
 public:
  explicit ForwardingSerialControl(SerialControl& inner) : inner_(inner) {}

  int portNumber() const override { return inner_.portNumber(); }
  void setPortNumber(int number) override { inner_.setPortNumber(number); }
  bool portOpen() const override { return inner_.portOpen(); }
  void setPortOpen(bool open) override { inner_.setPortOpen(open); }
  void output(std::string_view text) override { inner_.output(text); }
  std::string input() override { return inner_.input(); }
  Clock::time_point lastReceived() const override { return inner_.lastReceived(); }
  void takeIn() override { inner_.takeIn(); }
  std::string device() const override { return inner_.device(); }
  void setLossHandler(const LossHandler& handler) override { inner_.setLossHandler(handler); }
  PortList refreshPorts() override { return inner_.refreshPorts(); }
  void watchDevices(const ChangeHandler& changed) override { inner_.watchDevices(changed); }
  void stopWatching() override { inner_.stopWatching(); }

 private:
  SerialControl& inner_;
};

}  // namespace rig
