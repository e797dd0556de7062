#pragma once

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

// The pseudo-terminal a simulated board sits behind: the board reads and writes the master, a
// client opens the slave by its path like a serial port.
namespace sim {

struct Terminal {
  int master = -1;  // non-blocking, closed on exec
  int slave = -1;   // held open so the master keeps working while clients close and reopen
  std::string path;
};

// Opens a raw 9600 baud terminal pair. Throws std::system_error on failure (nothing is left open).
Terminal openTerminal();

void closeFd(int& fd);
// Adds descriptor flags (FD_CLOEXEC) and status flags (O_NONBLOCK); false on failure.
bool addFlags(int fd, int fdFlags, int statusFlags);

// Two pseudo-terminals joined back to back, as by a null-modem cable: what a client writes to one
// comes out of the other. Both are opened by path like serial ports, so a board that opens its
// own serial port (a protocol library's server) can sit on one end and its driver on the other.
// Paced, each byte takes the time of a byte on a 9600 baud line (8N1) to cross, in each direction.
class TerminalLink {
 public:
  static constexpr std::chrono::nanoseconds kByteTime{1'041'667};

  // Throws std::system_error when a terminal cannot be opened.
  explicit TerminalLink(bool paced);
  ~TerminalLink();
  TerminalLink(const TerminalLink&) = delete;
  TerminalLink& operator=(const TerminalLink&) = delete;

  const std::string& firstPath() const { return first_.path; }
  const std::string& secondPath() const { return second_.path; }

 private:
  void run();

  const bool paced_;
  Terminal first_;
  Terminal second_;
  std::atomic<bool> stop_{false};
  std::thread worker_;
};

}  // namespace sim
