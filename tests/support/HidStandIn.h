#pragma once

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "rig/HidRelayBoard.h"
#include "rig/SerialControl.h"

// The stand-in for the USB HID relay boards behind the HID seam, for tests without USB.
namespace hid_stand_in {

using Report = std::vector<std::uint8_t>;

// A USB HID relay board as the HID seam sees it: it carries out the feature reports it is sent
// and answers reads with its ID and its relays' states.
struct SimulatedBoard {
  std::string product = "USBRelay2";
  std::string id = "QM7YK";
  bool idSettable = true;
  std::uint8_t state = 0;
  std::vector<Report> sent;
  bool gone = false;

  void take(const Report& r) {
    sent.push_back(r);
    const int relays = product.back() - '0';
    const std::uint8_t all = static_cast<std::uint8_t>((1U << relays) - 1);
    const int n = r.at(2);
    switch (r.at(1)) {
      case 0xFF:
        if (n >= 1 && n <= relays) state |= static_cast<std::uint8_t>(1U << (n - 1));
        break;
      case 0xFD:
        if (n >= 1 && n <= relays) state &= static_cast<std::uint8_t>(~(1U << (n - 1)));
        break;
      case 0xFE:
        state = all;
        break;
      case 0xFC:
        state = 0;
        break;
      case 0xFA:
        if (idSettable) id.assign(r.begin() + 2, r.begin() + 7);
        break;
      default:
        break;
    }
  }

  Report answer(std::uint8_t reportId, std::size_t length) const {
    Report r(length, 0);
    r[0] = reportId;
    for (std::size_t i = 0; i < id.size() && i < 5; ++i)
      r[1 + i] = static_cast<std::uint8_t>(id[i]);
    r[8] = state;
    return r;
  }
};

class SimulatedDevice : public rig::HidDevice {
 public:
  explicit SimulatedDevice(SimulatedBoard& board) : board_(board) {}
  void sendFeatureReport(const Report& report) override {
    check();
    board_.take(report);
  }
  Report getFeatureReport(std::uint8_t reportId, std::size_t length) override {
    check();
    return board_.answer(reportId, length);
  }

 private:
  void check() const {
    if (board_.gone) {
      throw rig::SerialError(
          rig::Failure{rig::FailureKind::DeviceGone, std::nullopt, "", "No such device"});
    }
  }
  SimulatedBoard& board_;
};

class SimulatedBus : public rig::HidBus {
 public:
  std::vector<rig::HidDeviceInfo> enumerate(std::uint16_t vendorId,
                                            std::uint16_t productId) override {
    EXPECT_EQ(vendorId, 0x16c0);
    EXPECT_EQ(productId, 0x05df);
    std::vector<rig::HidDeviceInfo> out;
    for (const auto& [path, board] : boards) out.push_back({path, board.product});
    return out;
  }
  std::unique_ptr<rig::HidDevice> open(const std::string& path) override {
    const auto found = boards.find(path);
    if (found == boards.end() || held.contains(path)) {
      throw rig::SerialError(
          rig::Failure{rig::FailureKind::Permission, std::nullopt, path, "Permission denied"});
    }
    return std::make_unique<SimulatedDevice>(found->second);
  }

  std::map<std::string, SimulatedBoard> boards;
  std::set<std::string> held;  // opened by another program
};

}  // namespace hid_stand_in
