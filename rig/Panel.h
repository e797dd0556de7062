#pragma once

#include <string>

namespace rig {

// The main window's controls that the rig reads and writes, by their window names.
enum class Control {
  Combo1,    // port selector (its text)
  Command1,  // "Open Com Port"
  Command2,  // "Start Button"
  Command5,  // "Main Flash"
  Command6,  // "Camera Shutter"
  Command8,  // "Start"
  Text2,     // identification box (hidden)
  Text3,     // status box
  Text4,     // last relay state reply (hidden)
};

// The rig's view of the main window: texts and captions, enabled flags, tooltips.
class Panel {
 public:
  Panel() = default;
  Panel(const Panel&) = delete;
  Panel& operator=(const Panel&) = delete;
  virtual ~Panel() = default;

  // The text of a text box or the selector, or the caption of a button.
  virtual std::string text(Control control) const = 0;
  virtual void setText(Control control, const std::string& text) = 0;
  virtual bool enabled(Control control) const = 0;
  virtual void setEnabled(Control control, bool enabled) = 0;
  virtual void setToolTip(Control control, const std::string& tip) = 0;
};

}  // namespace rig
