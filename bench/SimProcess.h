#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <string>
#include <vector>

#include "sim/RelayModule.h"

namespace bench {

// The simulated relay module in a process of its own, so the CPU time the benchmark measures is
// the panel's alone. The child sends every command it receives, with the monotonic time of its
// carriage return, over a socket; the parent reads them only when asked, so nothing runs in the
// benchmark process while it measures.
//
// Create it before any thread starts (before QApplication): the process is forked.
class SimProcess {
 public:
  struct Entry {
    std::chrono::steady_clock::time_point at;  // the command's carriage return at the module
    std::string text;
  };

  // Throws std::runtime_error when the module cannot be started.
  explicit SimProcess(const sim::Options& options);
  ~SimProcess();
  SimProcess(const SimProcess&) = delete;
  SimProcess& operator=(const SimProcess&) = delete;

  // The terminal a client opens.
  const std::string& device() const { return device_; }
  // Whether the module runs at real-time priority, ahead of the machine's other work; without it
  // its time stamps may be late by as long as it waits for a core.
  bool realtime() const { return realtime_; }

  // Takes in what the module has reported, waiting up to `timeout` until the log holds at least
  // `count` commands. False when it does not by then (or the module has gone).
  bool waitFor(std::size_t count, std::chrono::milliseconds timeout);
  // The commands received so far, as taken in by the last waitFor.
  const std::vector<Entry>& log() const { return log_; }

 private:
  bool readSome(std::chrono::milliseconds timeout);
  void parseLines();

  pid_t child_ = -1;
  int socket_ = -1;
  std::string device_;
  bool realtime_ = false;
  std::string pending_;  // bytes received that do not make a whole line yet
  std::vector<Entry> log_;
};

// Waits for the child `pid` to end, and kills it when it has not ended within `grace`.
void reapProcess(pid_t pid, std::chrono::milliseconds grace);

}  // namespace bench
