#include "PanelModel.h"

#include <utility>

namespace service {

using rig::Control;

PanelModel::PanelModel()
    : texts_{{Control::Combo1, "Select Com Port"},
             {Control::Command1, "Open Com Port"},
             {Control::Command2, "Start Button"},
             {Control::Command5, "Main Flash"},
             {Control::Command6, "Camera Shutter"},
             {Control::Command8, "Start"},
             {Control::Text2, "Text2"},
             {Control::Text3, "Port Status"},
             {Control::Text4, "Text4"}} {
  for (const auto& [control, text] : texts_) enabled_[control] = true;
  for (const Control button :
       {Control::Command2, Control::Command5, Control::Command6, Control::Command8}) {
    enabled_[button] = false;
  }
}

std::string PanelModel::text(Control control) const {
  const auto it = texts_.find(control);
  return it == texts_.end() ? std::string() : it->second;
}

void PanelModel::setText(Control control, const std::string& text) {
  texts_[control] = text;
  if (listener_) listener_(control, Field::Text, text, true);
}

bool PanelModel::enabled(Control control) const {
  const auto it = enabled_.find(control);
  return it != enabled_.end() && it->second;
}

void PanelModel::setEnabled(Control control, bool enabled) {
  enabled_[control] = enabled;
  if (listener_) listener_(control, Field::Enabled, {}, enabled);
}

void PanelModel::setToolTip(Control control, const std::string& tip) {
  tips_[control] = tip;
  if (listener_) listener_(control, Field::ToolTip, tip, true);
}

std::string PanelModel::toolTip(Control control) const {
  const auto it = tips_.find(control);
  return it == tips_.end() ? std::string() : it->second;
}

}  // namespace service
