#pragma once

#include "HidRelayBoard.h"

namespace hid {

// The HID devices through hidapi (its hidraw backend on Linux). Kept to the calls themselves;
// what the reports mean is the relay board's business.
class HidApiBus : public rig::HidBus {
 public:
  HidApiBus();
  ~HidApiBus() override;
  HidApiBus(const HidApiBus&) = delete;
  HidApiBus& operator=(const HidApiBus&) = delete;

  std::vector<rig::HidDeviceInfo> enumerate(std::uint16_t vendorId,
                                            std::uint16_t productId) override;
  std::unique_ptr<rig::HidDevice> open(const std::string& path) override;
};

}  // namespace hid
