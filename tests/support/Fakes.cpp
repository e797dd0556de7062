#include "support/Fakes.h"

#include <algorithm>
#include <cstdio>
#include <thread>

namespace fakes {

using rig::SerialError;

void FakeSerial::setPortNumber(int number) {
  if (open_) throw SerialError(number_, device(), "the port number cannot change while open");
  if (number < 1) throw SerialError(number, "", "not a valid port number");
  number_ = number;
}

void FakeSerial::setPortOpen(bool open) {
  if (!open) {
    open_ = false;
    incoming_.clear();
    return;
  }
  if (open_) throw SerialError(number_, device(), "the port is already open");
  const auto port = ports.find(number_);
  if (port == ports.end()) {
    throw SerialError(number_, "", "no such port", rig::FailureKind::NoDevice);
  }
  if (!port->second.openError.empty()) {
    throw SerialError(number_, device(), port->second.openError, port->second.openKind);
  }
  open_ = true;
  ++opens;
  lastReceived_ = {};
}

void FakeSerial::output(std::string_view text) {
  if (clock_.raised) raisedOutputs.emplace_back(text);
  if (!open_) throw SerialError(number_, device(), "the port is closed");
  ++outputs_;
  if (failAll ? outputs_ >= failOutputAt && failOutputAt > 0 : outputs_ == failOutputAt) {
    if (failureCloses) {
      open_ = false;
      throw SerialError(number_, device(), "the device was removed", rig::FailureKind::DeviceGone);
    }
    throw SerialError(number_, device(), "Input/output error");
  }
  sent.push_back({clock_.now(), number_, std::string(text)});
  const FakePort& port = ports.at(number_);
  if (!port.answers || text.empty() || text.back() != '\r') return;
  const std::string command(text.substr(0, text.size() - 1));
  const std::string reply = answer(command);
  if (reply.empty()) return;
  if (byteTime == rig::Clock::duration{}) {
    arrive(replyDelay, reply);
    return;
  }
  for (std::size_t i = 0; i < reply.size(); ++i) {
    arrive(replyDelay + static_cast<int>(i) * byteTime, reply.substr(i, 1));
  }
}

std::string FakeSerial::answer(const std::string& command) {
  const bool isQuery = command.rfind("relay read ", 0) == 0;
  if (isQuery && !scriptedReplies.empty()) {
    std::string reply = scriptedReplies.front();
    scriptedReplies.pop_front();
    return reply;
  }
  // Relays by one character: "0" to "9", then "A" to "V".
  const auto relayOf = [](char digit) { return digit <= '9' ? digit - '0' : digit - 'A' + 10; };
  const auto digits = static_cast<std::size_t>((relays + 3) / 4);
  std::string result;
  if (isQuery) {
    result = relay[relayOf(command.back())] ? "on" : "off";
  } else if (command == "id get") {
    result = ports.at(number_).identification;
  } else if (command.rfind("relay on ", 0) == 0) {
    relay[relayOf(command.back())] = true;
  } else if (command.rfind("relay off ", 0) == 0) {
    relay[relayOf(command.back())] = false;
  } else if (command == "relay readall") {
    unsigned mask = 0;
    for (int n = 0; n < relays; ++n) mask |= relay[n] ? 1U << static_cast<unsigned>(n) : 0U;
    char hex[16];
    std::snprintf(hex, sizeof hex, "%0*X", static_cast<int>(digits), mask);
    result = relays > 2 ? hex : "ERROR";
  } else if (command.rfind("relay writeall ", 0) == 0 && relays > 2) {
    const unsigned long mask = std::stoul(command.substr(15), nullptr, 16);
    for (int n = 0; n < relays; ++n) relay[n] = ((mask >> static_cast<unsigned>(n)) & 1U) != 0;
  } else if (command.rfind("relay writeall ", 0) == 0) {
    result = "ERROR";
  }
  return command + "\r\n" + result + "\r\n>";
}

void FakeSerial::arrive(rig::Clock::duration after, std::string bytes) {
  incoming_.emplace_back(clock_.now() + after, std::move(bytes));
  std::stable_sort(incoming_.begin(), incoming_.end(),
                   [](const auto& a, const auto& b) { return a.first < b.first; });
}

std::string FakeSerial::input() {
  if (!open_) throw SerialError(number_, device(), "the port is closed");
  std::string bytes;
  while (!incoming_.empty() && incoming_.front().first <= clock_.now()) {
    bytes += incoming_.front().second;
    lastReceived_ = incoming_.front().first;
    incoming_.pop_front();
  }
  return bytes;
}

void SkippingClock::waitUntil(time_point deadline) {
  const duration left = deadline - now();
  if (left <= duration{}) return;
  if (left <= kLongestReal) {
    std::this_thread::sleep_for(left);
    return;
  }
  std::this_thread::sleep_for(kSkipTakes);
  skipped_ = skipped_.load() + (deadline - now());
  serial_.takeIn();
}

std::vector<std::string> FakeSerial::commands(std::optional<int> port) const {
  std::vector<std::string> texts;
  for (const Sent& s : sent) {
    if (port && s.port != *port) continue;
    texts.push_back(s.bytes.substr(0, s.bytes.size() - 1));
  }
  return texts;
}

std::vector<std::string> FakeSerial::switching() const {
  std::vector<std::string> texts;
  for (const std::string& c : commands()) {
    if (c.rfind("relay on ", 0) == 0 || c.rfind("relay off ", 0) == 0) texts.push_back(c);
  }
  return texts;
}

}  // namespace fakes
