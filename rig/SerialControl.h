#pragma once

#include <functional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>

#include "Clock.h"

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
};

// Short stable name of a kind: "no-device", "busy", ... ("other" for Other).
const char* kindName(FailureKind kind);

// A failure of the serial link. Carries the port number, the device it maps to (empty when the
// number maps to none), the reason in words (often the system's own, "Permission denied") and
// its kind.
class SerialError : public std::runtime_error {
 public:
  SerialError(int port, std::string device, std::string reason,
              FailureKind kind = FailureKind::Other);

  int port() const { return port_; }
  const std::string& device() const { return device_; }
  const std::string& reason() const { return reason_; }
  FailureKind kind() const { return kind_; }

 private:
  int port_;
  std::string device_;
  std::string reason_;
  FailureKind kind_;
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

  // The device the current port number maps to, for messages; empty when it maps to none.
  virtual std::string device() const = 0;

  // Called with a message naming port, device and reason when the open port fails on its own
  // (the device went away), on the thread that uses the control. Controls whose ports cannot
  // fail that way never call it.
  using LossHandler = std::function<void(const std::string& message)>;
  virtual void setLossHandler(const LossHandler& /*handler*/) {}
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
  std::string device() const override { return inner_.device(); }
  void setLossHandler(const LossHandler& handler) override { inner_.setLossHandler(handler); }

 private:
  SerialControl& inner_;
};

}  // namespace rig
