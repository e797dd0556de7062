#pragma once

#include <string>

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

}  // namespace sim
