#include "Console.h"

#include <cstdio>

#include "rig/Captions.h"

namespace cli {

Console::Console(std::ostream& out, bool quiet)
    : out_(out), quiet_(quiet), start_(std::chrono::steady_clock::now()) {}

void Console::line(const std::string& text) {
  if (quiet_) return;
  out_ << text << std::endl;
}

void Console::sent(std::chrono::steady_clock::time_point at, std::string_view bytes) {
  if (quiet_) return;
  if (!bytes.empty() && bytes.back() == '\r') bytes.remove_suffix(1);
  char stamp[32];
  std::snprintf(stamp, sizeof stamp, "%.3f", std::chrono::duration<double>(at - start_).count());
  out_ << stamp << " sent: " << escaped(bytes) << std::endl;
}

void printChange(Console& console, const rig::RigState& state, rig::Change change) {
  switch (change) {
    case rig::Change::Port:
      console.line("selector: " + std::to_string(state.port));
      break;
    case rig::Change::Link:
      console.line("status: " + escaped(rig::captions::status(state.link)));
      console.line("status tooltip: " + escaped(rig::captions::statusTip(state)));
      break;
    case rig::Change::FoundBySearch:
      console.line("open button: " + rig::captions::openButton(state));
      break;
    case rig::Change::Flash:
      console.line("flash button: " + rig::captions::flash(state.flash));
      break;
    case rig::Change::Shutter:
      console.line("shutter button: " + rig::captions::shutter(state.shutter));
      break;
    case rig::Change::Identification:
      console.line("identification: " + escaped(state.identification));
      break;
    case rig::Change::RelayReply:
      console.line("relay reply: " + escaped(state.relayReply));
      break;
    case rig::Change::Armed:
      console.line(state.armedAt ? rig::captions::armed(state) : "armed: no longer");
      break;
  }
}

LoggingSerial::LoggingSerial(rig::SerialControl& inner, Console& console)
    : ForwardingSerialControl(inner), console_(console) {}

void LoggingSerial::output(std::string_view text) {
  const auto at = std::chrono::steady_clock::now();
  ForwardingSerialControl::output(text);
  console_.sent(at, text);
}

}  // namespace cli
