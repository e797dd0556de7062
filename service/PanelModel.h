#pragma once

#include <functional>
#include <map>
#include <string>

#include "rig/Panel.h"

namespace service {

// The main window's controls as the rig sees them, held by the rig service on its own thread:
// what the rig writes is kept (the selector, the captions, the hidden boxes it reads back) and
// handed to a listener, which carries it to the window; every write is passed on, so the window
// shows what the rig last wrote even where something else had changed it meanwhile.
class PanelModel : public rig::Panel {
 public:
  enum class Field { Text, Enabled, ToolTip };
  // A control's field was written; `text` holds the text or tooltip, `on` the enabled flag.
  using Listener =
      std::function<void(rig::Control control, Field field, const std::string& text, bool on)>;

  // The controls as the main window starts: its captions, only "Open Com Port" and the
  // selector enabled.
  PanelModel();

  void setListener(Listener listener) { listener_ = std::move(listener); }

  std::string text(rig::Control control) const override;
  void setText(rig::Control control, const std::string& text) override;
  bool enabled(rig::Control control) const override;
  void setEnabled(rig::Control control, bool enabled) override;
  void setToolTip(rig::Control control, const std::string& tip) override;
  std::string toolTip(rig::Control control) const;

 private:
  std::map<rig::Control, std::string> texts_;
  std::map<rig::Control, bool> enabled_;
  std::map<rig::Control, std::string> tips_;
  Listener listener_;
};

}  // namespace service
