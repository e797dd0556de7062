#pragma once

#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "rig/SerialControl.h"

// What a fake serial control saw and how it behaves; shared with the test, so it outlives the
// window that owns the fake.
struct FakeLine {
  std::vector<std::string> sent;  // every output(), in order
  std::map<int, bool> relayOn;    // state the fake module reports per relay
  bool failOutput = false;        // output() throws as a vanished device would
  rig::FailureKind failKind = rig::FailureKind::Other;  // ...with this kind
  std::string device = "/dev/ttyFAKE0";
  std::string identification;                   // the answer to "id get"; none when empty
  rig::SerialControl::LossHandler lossHandler;  // as set on the control
};

// A serial control that plays a relay module: every port opens, switch commands change the
// relay states, and "relay read N" is answered with the module's layout on the next input().
class FakeSerial : public rig::SerialControl {
 public:
  explicit FakeSerial(std::shared_ptr<FakeLine> line) : line_(std::move(line)) {}

  int portNumber() const override { return number_; }
  void setPortNumber(int number) override {
    if (number < 1 || open_) throw rig::SerialError(number, device(), "invalid port number");
    number_ = number;
  }
  bool portOpen() const override { return open_; }
  void setPortOpen(bool open) override { open_ = open; }

  void output(std::string_view text) override {
    if (!open_) throw rig::SerialError(number_, device(), "port closed");
    if (line_->failOutput) {
      throw rig::SerialError(number_, device(), "Input/output error", line_->failKind);
    }
    line_->sent.emplace_back(text);
    const std::string command(text.substr(0, text.size() - 1));
    if (command == "id get" && !line_->identification.empty()) {
      pending_ += command + "\r\n" + line_->identification + "\r\n>";
    }
    for (int relay : {0, 1}) {
      const std::string n = std::to_string(relay);
      if (command == "relay on " + n) line_->relayOn[relay] = true;
      if (command == "relay off " + n) line_->relayOn[relay] = false;
      if (command == "relay read " + n) {
        pending_ += command + "\r\n" + (line_->relayOn[relay] ? "on" : "off") + "\r\n>";
      }
    }
  }

  std::string input() override {
    if (!open_) throw rig::SerialError(number_, device(), "port closed");
    return std::exchange(pending_, {});
  }

  rig::Clock::time_point lastReceived() const override { return {}; }
  std::string device() const override { return line_->device; }
  void setLossHandler(const LossHandler& handler) override { line_->lossHandler = handler; }

 private:
  std::shared_ptr<FakeLine> line_;
  int number_ = 1;
  bool open_ = false;
  std::string pending_;
};
