#pragma once

#include <chrono>
#include <string>

// A pseudo-terminal pair standing in for a serial line: the serial control opens the slave
// device, the test talks through the master.
class Pty {
 public:
  Pty();
  ~Pty();
  Pty(const Pty&) = delete;
  Pty& operator=(const Pty&) = delete;

  const std::string& slavePath() const { return slavePath_; }
  int masterFd() const { return master_; }

  // Everything the master receives within `wait` (returns early once `expected` bytes are in,
  // after a short settle so extra bytes would be seen too).
  std::string readMaster(std::chrono::milliseconds wait, std::size_t expected);
  void writeMaster(const std::string& bytes);
  // The far end goes away, as when a cable is pulled.
  void closeMaster();

 private:
  int master_ = -1;
  // Held open so the master keeps working while the serial control closes and reopens the
  // slave (with no slave open, reads on the master fail).
  int slaveKeeper_ = -1;
  std::string slavePath_;
};
