#include "sim/HidRelayModule.h"

#include <algorithm>

#include "rig/SerialControl.h"

namespace sim {

namespace {

class Device : public rig::HidDevice {
 public:
  Device(std::mutex& guard, HidRelayModule& board) : guard_(guard), board_(board) {}
  void sendFeatureReport(const HidRelayModule::Report& report) override {
    const std::lock_guard lock(guard_);
    check();
    board_.take(report);
  }
  HidRelayModule::Report getFeatureReport(std::uint8_t reportId, std::size_t length) override {
    const std::lock_guard lock(guard_);
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
  std::mutex& guard_;
  HidRelayModule& board_;
};

}  // namespace

int HidRelayModule::relayCount() const { return rig::hid_relay::relayCount(product); }

void HidRelayModule::take(const Report& report) {
  const auto at = std::chrono::steady_clock::now();
  sent.push_back(report);
  if (report.size() < 3) return;
  const int relays = relayCount();
  const auto all = static_cast<std::uint8_t>((1U << relays) - 1);
  const int n = report.at(2);
  std::uint8_t next = state;
  switch (report.at(1)) {
    case rig::hid_relay::kOn:
      if (n >= 1 && n <= relays) next |= static_cast<std::uint8_t>(1U << (n - 1));
      break;
    case rig::hid_relay::kOff:
      if (n >= 1 && n <= relays) next &= static_cast<std::uint8_t>(~(1U << (n - 1)));
      break;
    case rig::hid_relay::kAllOn:
      next = all;
      break;
    case rig::hid_relay::kAllOff:
      next = 0;
      break;
    case rig::hid_relay::kSetId:
      if (idSettable && report.size() >= 2 + rig::hid_relay::kIdLength) {
        id.assign(report.begin() + 2, report.begin() + 2 + rig::hid_relay::kIdLength);
      }
      break;
    default:
      break;
  }
  for (int relay = 0; relay < relays; ++relay) {
    const bool was = ((state >> relay) & 1U) != 0;
    const bool now = ((next >> relay) & 1U) != 0;
    if (was != now) changes.push_back({at, relay, now});
  }
  state = next;
}

HidRelayModule::Report HidRelayModule::answer(std::uint8_t reportId, std::size_t length) const {
  Report r(std::max<std::size_t>(length, 1 + rig::hid_relay::kReportLength), 0);
  r[0] = reportId;
  for (std::size_t i = 0; i < id.size() && i < rig::hid_relay::kIdLength; ++i) {
    r[1 + i] = static_cast<std::uint8_t>(id[i]);
  }
  r[rig::hid_relay::kReportLength] = state;
  r.resize(length);
  return r;
}

std::vector<rig::HidDeviceInfo> HidRelayBus::enumerate(std::uint16_t vendorId,
                                                       std::uint16_t productId) {
  const std::lock_guard lock(guard);
  askedVendor = vendorId;
  askedProduct = productId;
  std::vector<rig::HidDeviceInfo> out;
  if (vendorId != rig::hid_relay::kVendorId || productId != rig::hid_relay::kProductId) return out;
  for (const auto& [path, board] : boards) {
    if (!board.gone) out.push_back({path, board.product});
  }
  return out;
}

std::unique_ptr<rig::HidDevice> HidRelayBus::open(const std::string& path) {
  const std::lock_guard lock(guard);
  const auto found = boards.find(path);
  if (found == boards.end() || found->second.gone || held.contains(path)) {
    throw rig::SerialError(
        rig::Failure{rig::FailureKind::Permission, std::nullopt, path, "Permission denied"});
  }
  return std::make_unique<Device>(guard, found->second);
}

}  // namespace sim
