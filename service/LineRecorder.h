#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "Requests.h"
#include "rig/Clock.h"
#include "rig/SerialControl.h"

namespace service {

// Notes every command put on the line, with its time from the start of the running action.
class Recorder : public rig::ForwardingSerialControl {
 public:
  Recorder(rig::SerialControl& inner, const rig::Clock& clock)
      : ForwardingSerialControl(inner), clock_(clock) {}

  void begin() {
    start_ = clock_.now();
    commands_.clear();
  }
  std::vector<TimedCommand> take() { return std::exchange(commands_, {}); }
  // A described rig's line switched ("camera left shutter on"), on a board of its own.
  void note(const std::string& text) {
    commands_.push_back({std::chrono::duration<double>(clock_.now() - start_).count(),
                         QString::fromStdString(text), clock_.realNow()});
  }

  void output(std::string_view text) override {
    // Stamped as it is handed to the line; kept only once it is there.
    const auto at = clock_.now();
    const auto real = clock_.realNow();
    ForwardingSerialControl::output(text);
    while (!text.empty() && (text.back() == '\r' || text.back() == '\n')) text.remove_suffix(1);
    commands_.push_back({std::chrono::duration<double>(at - start_).count(),
                         QString::fromStdString(std::string(text)), real});
  }

 private:
  const rig::Clock& clock_;
  rig::Clock::time_point start_{};
  std::vector<TimedCommand> commands_;
};

}  // namespace service
