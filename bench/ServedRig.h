#pragma once

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "boards/Catalog.h"
#include "service/RigService.h"

namespace bench {

// A rig as a photographer runs it: a rig file's text, read as `serve --rig-file` reads it, its
// boards found by their names through the catalog and run by the rig service. The catalog's
// parts stand for the machine: its serial ports (the simulated boards' terminals) and its HID bus.
class ServedRig {
 public:
  // Throws rigfile::RigFileError for a file that cannot be used.
  ServedRig(const std::string& rigFile, boards::Catalog::Parts parts);

  // Submits `request` and runs this thread's events until it is answered; throws
  // std::runtime_error when no answer comes within `limit`.
  service::Result ask(const service::Request& request,
                      std::chrono::milliseconds limit = std::chrono::seconds(10));
  // Submits every request at once, as a client writing them one after another without waiting,
  // and runs this thread's events until all are answered; their answers in the same order.
  // Throws std::runtime_error when they are not all answered within `limit`.
  std::vector<service::Result> askAll(const std::vector<service::Request>& requests,
                                      std::chrono::milliseconds limit = std::chrono::seconds(10));
  // Opens the rig (every board found, opened and reset); throws std::runtime_error when that fails.
  void open();
  // The shot of every camera, or armed for `at` on the local clock.
  service::Result shoot(std::optional<std::chrono::system_clock::time_point> at = std::nullopt);

  service::RigService& service() { return service_; }
  // The state as last reported to this thread.
  const service::State& state() const { return state_; }

 private:
  service::RigService service_;
  service::State state_;
};

// The catalog's parts of a machine whose serial ports are `devices` (the simulated boards'
// terminals) and which has no HID bus until one is given.
boards::Catalog::Parts portsOnly(std::vector<std::string> devices);

// Runs this thread's events until `done` holds or `limit` has passed; whether it holds.
bool runEventsUntil(const std::function<bool()>& done, std::chrono::milliseconds limit);

}  // namespace bench
