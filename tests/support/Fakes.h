#pragma once

// Stand-ins for the rig's interfaces: a clock that waits without waiting, and two serial controls:
// FakeSerial with a scripted relay module behind each port number on the fake clock, and LineSerial
// whose module answers at once, for the rig service and the windows on either clock.

#include <atomic>
#include <chrono>
#include <csignal>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "rig/Clock.h"
#include "rig/Failure.h"
#include "rig/SerialControl.h"

namespace fakes {

using namespace std::chrono_literals;

class FakeClock : public rig::Clock {
 public:
  time_point now() const override { return now_; }
  // Every wait leaves the last stretch's priority first, as the service's clock does.
  void waitUntil(time_point deadline) override {
    raised = false;
    if (deadline > now_) now_ = deadline;
  }
  // An armed shot's last stretch holds a raised priority until spinDone().
  void spinUntil(time_point deadline) override {
    waitUntil(deadline);
    raised = true;
  }
  void spinDone() override { raised = false; }
  bool raised = false;
  // An hour after the steady clock's epoch, so "long ago" is representable.
  time_point start() const { return time_point{} + 1h; }
  // The real-time clock runs in step with it, from a fixed day in 2026.
  real_time realNow() const override { return realStart() + (now_ - start()); }
  static real_time realStart() { return real_time{} + std::chrono::seconds(1'796'640'000); }

 private:
  time_point now_ = time_point{} + 1h;
};

// A clock that stops the run at its n-th wait, as Ctrl-C would.
class StoppingClock : public FakeClock {
 public:
  explicit StoppingClock(int stopAt) : stopAt_(stopAt) {}
  void waitUntil(time_point deadline) override {
    if (++waits_ == stopAt_) throw rig::CutShort::bySignal(SIGINT);
    FakeClock::waitUntil(deadline);
  }

 private:
  int stopAt_;
  int waits_ = 0;
};

// For the rig on a real line (the simulated module on a pseudo-terminal): the rig's own long
// waits (pulses, pauses, a series' intervals, armed waits) are skipped, while its short ones
// (polling the line, waiting for an answer or for the line to go quiet) take their real time, so
// the module answers as it would. The module then sees pulses and pauses far shorter than half a
// second: tests of real timing on the line keep the real clock.
class SkippingClock : public rig::Clock {
 public:
  // Waits longer than this are skipped (the rig's polls and quiet waits are shorter).
  static constexpr duration kLongestReal = 40ms;
  // A skipped wait still lets this much real time pass, and then takes in what the line brought,
  // as the service's own clock does shortly before a wait ends.
  static constexpr duration kSkipTakes = 2ms;

  explicit SkippingClock(rig::SerialControl& serial) : serial_(serial) {}

  time_point now() const override { return std::chrono::steady_clock::now() + skipped_.load(); }
  real_time realNow() const override { return std::chrono::system_clock::now() + skipped_.load(); }
  void waitUntil(time_point deadline) override;
  void waitUntilWoken(time_point deadline) override { waitUntil(deadline); }

 private:
  rig::SerialControl& serial_;
  std::atomic<duration> skipped_{};
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
  void takeIn() override {}  // input() takes in by itself
  std::string device() const override { return "fake" + std::to_string(number_); }

  // Ports that exist; any other number is absent.
  std::map<int, FakePort> ports;
  // Relay states of the module (shared by every port: one module), and how many it has: above
  // two it is a wider module that answers "relay readall" and takes "relay writeall HEX"; the
  // two-relay module answers both with its error line.
  bool relay[32] = {};
  int relays = 2;
  rig::Clock::duration replyDelay = 5ms;
  // Non-zero: replies arrive a byte at a time, this far apart (9600 baud is about 1 ms).
  rig::Clock::duration byteTime{};
  // Replies to the next state queries, in order, in place of the module's own; "" = no answer.
  std::deque<std::string> scriptedReplies;
  // Outputs counted from 1; the one with this number fails (and every later one with `failAll`).
  int failOutputAt = 0;
  bool failAll = false;
  // The failing output is the device going away: the port closes under the rig.
  bool failureCloses = false;
  // What refreshPorts() lists.
  rig::PortList listed;
  rig::PortList refreshPorts() override { return listed; }
  // Bytes that arrive at a given time whatever was sent (leftovers, noise).
  void arrive(rig::Clock::duration after, std::string bytes);

  std::vector<Sent> sent;
  // Every output made while the clock held the last stretch's priority, a failed one too.
  std::vector<std::string> raisedOutputs;
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

// A serial control that plays a relay module at once, for the windows and the rig service: every
// port opens, switch commands change the relay states, and "relay read N" is answered with the
// module's layout on the next input().
class LineSerial : public rig::SerialControl {
 public:
  explicit LineSerial(std::shared_ptr<FakeLine> line) : line_(std::move(line)) {}

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
  void takeIn() override {}  // answers are there at once
  std::string device() const override { return line_->device; }
  void setLossHandler(const LossHandler& handler) override { line_->lossHandler = handler; }

 private:
  std::shared_ptr<FakeLine> line_;
  int number_ = 1;
  bool open_ = false;
  std::string pending_;
};

}  // namespace fakes
