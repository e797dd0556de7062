#pragma once

#include <chrono>
#include <ostream>
#include <string>
#include <string_view>

#include "rig/Protocol.h"
#include "rig/SerialControl.h"
#include "rig/State.h"

namespace cli {

using rig::protocol::escaped;

// The progress lines: what the panel would show, and the commands sent.
class Console {
 public:
  Console(std::ostream& out, bool quiet);

  void line(const std::string& text);
  // "<seconds since start> sent: <command>", the framing carriage return left out.
  void sent(std::chrono::steady_clock::time_point at, std::string_view bytes);

 private:
  std::ostream& out_;
  bool quiet_;
  std::chrono::steady_clock::time_point start_;
};

// The panel as lines on the console: every part of the state the rig sets is printed as
// "<control>: <text>", with the words the window would show.
void printChange(Console& console, const rig::RigState& state, rig::Change change);

// A serial control that prints a timestamped line for every command it puts on the line and
// otherwise hands each call to the control it wraps.
class LoggingSerial : public rig::ForwardingSerialControl {
 public:
  LoggingSerial(rig::SerialControl& inner, Console& console);

  // The line is printed once every byte has gone out; a failed write prints nothing.
  void output(std::string_view text) override;

 private:
  Console& console_;
};

}  // namespace cli
