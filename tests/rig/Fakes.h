#pragma once

// Stand-ins for the rig's three interfaces: a clock that waits without waiting, a panel of plain
// strings, and a serial control with a scripted relay module behind each port number.

#include <deque>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "rig/Clock.h"
#include "rig/Panel.h"
#include "rig/SerialControl.h"

namespace fakes {

using namespace std::chrono_literals;

class FakeClock : public rig::Clock {
 public:
  time_point now() const override { return now_; }
  void waitUntil(time_point deadline) override {
    if (deadline > now_) now_ = deadline;
  }
  // An hour after the steady clock's epoch, so "long ago" is representable.
  time_point start() const { return time_point{} + 1h; }

 private:
  time_point now_ = time_point{} + 1h;
};

class FakePanel : public rig::Panel {
 public:
  FakePanel();
  std::string text(rig::Control control) const override { return texts_.at(control); }
  void setText(rig::Control control, const std::string& text) override { texts_[control] = text; }
  bool enabled(rig::Control control) const override { return enabled_.at(control); }
  void setEnabled(rig::Control control, bool enabled) override { enabled_[control] = enabled; }
  void setToolTip(rig::Control control, const std::string& tip) override { tips_[control] = tip; }
  std::string toolTip(rig::Control control) const {
    const auto it = tips_.find(control);
    return it == tips_.end() ? std::string() : it->second;
  }
  bool anyActionEnabled() const;

 private:
  std::map<rig::Control, std::string> texts_;
  std::map<rig::Control, bool> enabled_;
  std::map<rig::Control, std::string> tips_;
};

// What stands behind one port number.
struct FakePort {
  std::string openError;                                // non-empty: opening fails with this reason
  bool answers = true;                                  // false: a silent device
  std::string identification;                           // answer to "id get"
  rig::FailureKind openKind = rig::FailureKind::Other;  // the kind of `openError`
};

// One command line that reached a port.
struct Sent {
  rig::Clock::time_point at;
  int port;
  std::string bytes;
};

// A serial control whose ports hold relay modules that answer like the real one: the echo of the
// command, a line break, the result, a line break and a prompt, arriving `replyDelay` after the
// command.
class FakeSerial : public rig::SerialControl {
 public:
  explicit FakeSerial(FakeClock& clock) : clock_(clock) {}

  int portNumber() const override { return number_; }
  void setPortNumber(int number) override;
  bool portOpen() const override { return open_; }
  void setPortOpen(bool open) override;
  void output(std::string_view text) override;
  std::string input() override;
  rig::Clock::time_point lastReceived() const override { return lastReceived_; }
  std::string device() const override { return "fake" + std::to_string(number_); }

  // Ports that exist; any other number is absent.
  std::map<int, FakePort> ports;
  // Relay states of the module (shared by every port: one module).
  bool relay[2] = {false, false};
  rig::Clock::duration replyDelay = 5ms;
  // Non-zero: replies arrive a byte at a time, this far apart (9600 baud is about 1 ms).
  rig::Clock::duration byteTime{};
  // Replies to the next state queries, in order, in place of the module's own; "" = no answer.
  std::deque<std::string> scriptedReplies;
  // Outputs counted from 1; the one with this number fails (and every later one with `failAll`).
  int failOutputAt = 0;
  bool failAll = false;
  // Bytes that arrive at a given time whatever was sent (leftovers, noise).
  void arrive(rig::Clock::duration after, std::string bytes);

  std::vector<Sent> sent;
  // The command texts sent (without their carriage returns), optionally to one port only.
  std::vector<std::string> commands(std::optional<int> port = std::nullopt) const;
  // The switching commands only: queries and "id get" left out.
  std::vector<std::string> switching() const;
  int opens = 0;

 private:
  std::string answer(const std::string& command);

  FakeClock& clock_;
  int number_ = 1;
  bool open_ = false;
  int outputs_ = 0;
  std::deque<std::pair<rig::Clock::time_point, std::string>> incoming_;
  rig::Clock::time_point lastReceived_{};
};

}  // namespace fakes
