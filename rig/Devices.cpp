#include "Devices.h"

#include <filesystem>
#include <system_error>

namespace rig {

namespace {

// The device a path stands for: links followed, as far as they lead; the path itself when it
// cannot be resolved (a device that is not there now).
std::filesystem::path resolved(const std::string& path) {
  std::error_code error;
  auto device = std::filesystem::weakly_canonical(path, error);
  return error ? std::filesystem::path(path) : device;
}

}  // namespace

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

bool sameDevice(const std::string& a, const std::string& b) {
  return a == b || resolved(a) == resolved(b);
}

}  // namespace rig
