#include "Console.h"

#include <cstdio>

namespace cli {

namespace {

std::size_t index(rig::Control control) { return static_cast<std::size_t>(control); }
static_assert(static_cast<std::size_t>(rig::Control::Text4) + 1 == 9, "one slot per control");

// The controls by what they do; their captions change as the rig works.
std::string_view label(rig::Control control) {
  switch (control) {
    case rig::Control::Combo1:
      return "selector";
    case rig::Control::Command1:
      return "open button";
    case rig::Control::Command2:
      return "trigger window button";
    case rig::Control::Command5:
      return "flash button";
    case rig::Control::Command6:
      return "shutter button";
    case rig::Control::Command8:
      return "sequence button";
    case rig::Control::Text2:
      return "identification";
    case rig::Control::Text3:
      return "status";
    case rig::Control::Text4:
      return "relay reply";
  }
  return "?";
}

}  // namespace

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

ConsolePanel::ConsolePanel(Console& console, const std::string& selector) : console_(console) {
  // The panel's texts before any click.
  texts_[index(rig::Control::Combo1)] = selector;
  texts_[index(rig::Control::Command1)] = "Open Com Port";
  texts_[index(rig::Control::Command2)] = "Start Button";
  texts_[index(rig::Control::Command5)] = "Main Flash";
  texts_[index(rig::Control::Command6)] = "Camera Shutter";
  texts_[index(rig::Control::Command8)] = "Start";
  texts_[index(rig::Control::Text2)] = "Text2";
  texts_[index(rig::Control::Text3)] = "Port Status";
  texts_[index(rig::Control::Text4)] = "Text4";
}

std::string ConsolePanel::text(rig::Control control) const { return texts_[index(control)]; }

void ConsolePanel::setText(rig::Control control, const std::string& text) {
  texts_[index(control)] = text;
  console_.line(std::string(label(control)) + ": " + escaped(text));
}

bool ConsolePanel::enabled(rig::Control control) const { return enabled_[index(control)]; }

void ConsolePanel::setEnabled(rig::Control control, bool enabled) {
  enabled_[index(control)] = enabled;
}

void ConsolePanel::setToolTip(rig::Control control, const std::string& tip) {
  tips_[index(control)] = tip;
  console_.line(std::string(label(control)) + " tooltip: " + escaped(tip));
}

std::string ConsolePanel::toolTip(rig::Control control) const { return tips_[index(control)]; }

LoggingSerial::LoggingSerial(rig::SerialControl& inner, Console& console)
    : ForwardingSerialControl(inner), console_(console) {}

void LoggingSerial::output(std::string_view text) {
  const auto at = std::chrono::steady_clock::now();
  ForwardingSerialControl::output(text);
  console_.sent(at, text);
  if (!text.empty() && text.back() == '\r') text.remove_suffix(1);
  sent_.push_back({at, std::string(text)});
}

}  // namespace cli
