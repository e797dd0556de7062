#include "Devices.h"

namespace rig {

bool sameModule(const DeviceInfo& lost, const DeviceInfo& candidate) {
  if (lost.byPath || lost.vendorId.empty()) {
    return !lost.path.empty() && candidate.path == lost.path;
  }
  if (candidate.vendorId != lost.vendorId || candidate.productId != lost.productId) return false;
  if (!lost.serialNumber.empty()) return candidate.serialNumber == lost.serialNumber;
  // Without a serial number only the socket it is plugged into tells it from its twin.
  return candidate.serialNumber.empty() && !lost.location.empty() &&
         candidate.location == lost.location;
}

std::optional<int> findModule(const DeviceInfo& lost, const PortList& ports) {
  for (std::size_t i = 0; i < ports.size(); ++i) {
    if (ports[i].present && sameModule(lost, ports[i])) return static_cast<int>(i + 1);
  }
  return std::nullopt;
}

}  // namespace rig
