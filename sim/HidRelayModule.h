#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "boards/hid/HidRelayBoard.h"

// USB HID relay boards as the HID seam (rig::HidBus) sees them, in the process: for the board
// logic's tests and the benchmark, on machines without USB. The bus's calls take its `guard`; a
// thread other than the one driving the bus takes it too to look at or change a board.
namespace sim {

struct HidRelayChange {
  std::chrono::steady_clock::time_point at;  // when the report that switched it came
  int relay = 0;                             // from 0
  bool on = false;
};

// One board: it carries out the feature reports it is sent (report id first) and answers reads
// with its ID in bytes 1 to 5 and its relays' states in byte 8.
struct HidRelayModule {
  using Report = std::vector<std::uint8_t>;

  std::string product = "USBRelay2";  // the digit is the relay count
  std::string id = "QM7YK";
  bool idSettable = true;
  std::uint8_t state = 0;
  bool gone = false;         // unplugged: not listed, and every call fails with DeviceGone
  std::vector<Report> sent;  // every report taken, as sent
  std::vector<HidRelayChange> changes;

  int relayCount() const;
  void take(const Report& report);
  Report answer(std::uint8_t reportId, std::size_t length) const;
};

class HidRelayBus : public rig::HidBus {
 public:
  std::vector<rig::HidDeviceInfo> enumerate(std::uint16_t vendorId,
                                            std::uint16_t productId) override;
  // Permission denied for a path without a board or one another program holds.
  std::unique_ptr<rig::HidDevice> open(const std::string& path) override;

  std::map<std::string, HidRelayModule> boards;  // by path
  std::set<std::string> held;                    // opened by another program
  // The USB ids the last enumeration asked for; a board answers only to its own.
  std::uint16_t askedVendor = 0;
  std::uint16_t askedProduct = 0;
  std::mutex guard;
};

}  // namespace sim
