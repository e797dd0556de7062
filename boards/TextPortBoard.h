#pragma once

#include <memory>
#include <string>

#include "rig/Board.h"
#include "rig/SystemClock.h"
#include "rig/TextBoard.h"
#include "serial/CommControl.h"

namespace boards {

// A text module found by name, on a port of its own: a serial control holding that one device,
// the real clock, and the text board on them. (The rig's own text module stays on the rig's
// serial control; this is the module as the catalog hands it out.)
class TextPortBoard : public rig::Board {
 public:
  TextPortBoard(const std::string& device, rig::BoardName name);

  rig::BoardName name() const override { return text_.name(); }
  int relayCount() const override { return text_.relayCount(); }
  rig::BoardAbilities abilities() const override { return text_.abilities(); }

  void open() override;
  void close() override { text_.close(); }
  bool isOpen() const override { return text_.isOpen(); }

  void switchRelay(int relay, bool on) override { text_.switchRelay(relay, on); }
  void switchRelays(rig::RelayMask which, rig::RelayMask on) override {
    text_.switchRelays(which, on);
  }
  rig::RelayMask readRelays() override { return text_.readRelays(); }
  bool readRelay(int relay) override { return text_.readRelay(relay); }
  void setReplyObserver(const ReplyObserver& observer) override {
    text_.setReplyObserver(observer);
  }
  rig::Clock::duration switchLead(int relay, bool on) const override {
    return text_.switchLead(relay, on);
  }

 private:
  std::unique_ptr<serial::CommControl> serial_;
  // Its waits are for its own replies only: a stop request never cuts them short, so that the
  // rig's ending can still release its lines after a signal.
  rig::SystemClock clock_{false};
  rig::TextBoard text_;
};

}  // namespace boards
