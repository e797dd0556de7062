#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "sim/Terminal.h"

class QObject;
class QModbusRtuSerialServer;
class QThread;

// A Modbus RTU relay board played on a pseudo-terminal: Qt's own RTU server, holding one coil per
// relay at one slave address, sits on one end of a terminal link and a driver opens the other.
// The server runs on a thread of its own, so the board answers whatever thread its driver waits
// on. Each coil that changes is logged with the time the request that changed it was carried out.
namespace sim {

struct CoilChange {
  std::chrono::steady_clock::time_point at;
  int coil = 0;  // from 0, as Modbus addresses them
  bool on = false;

  // "coil 3 on"
  std::string text() const;
};

class ModbusModule {
 public:
  static constexpr int kMostCoils = 32;
  static constexpr int kFirstAddress = 1;
  static constexpr int kLastAddress = 247;

  struct Options {
    int coils = 8;
    int address = 1;
    // The link carries each byte at the pace of a 9600 baud line, both ways.
    bool paced = false;
    // The coils on from the start, as on a board switched by hand before it was plugged in.
    std::uint32_t on = 0;
  };

  // All coils off. Throws std::invalid_argument for a coil count outside 1 to 32 or an address
  // outside 1 to 247, std::system_error when the terminals cannot be opened and
  // std::runtime_error when the server does not start on its end.
  explicit ModbusModule(Options options);
  ~ModbusModule();
  ModbusModule(const ModbusModule&) = delete;
  ModbusModule& operator=(const ModbusModule&) = delete;

  // The terminal the driver opens.
  const std::string& devicePath() const { return link_.firstPath(); }
  const Options& options() const { return options_; }
  // Coil n (from 0) as the requests left it.
  bool coil(int n) const;
  std::vector<CoilChange> log() const;
  std::vector<CoilChange> logSince(std::size_t first) const;
  // Waits until at least `count` changes are in the log; false on timeout.
  bool waitForChanges(std::size_t count, std::chrono::milliseconds timeout) const;

 private:
  // Closes the server and ends its thread; nothing once done.
  void stopServer();
  // On the server's thread: logs the coils of a write that changed.
  void written(int first, int count);

  const Options options_;
  TerminalLink link_;
  std::unique_ptr<QThread> thread_;
  QObject* context_ = nullptr;                // lives on the server's thread
  QModbusRtuSerialServer* server_ = nullptr;  // made, used and deleted on that thread
  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  std::uint32_t coils_ = 0;
  std::vector<CoilChange> log_;
};

}  // namespace sim
