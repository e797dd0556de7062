#include "SerialControl.h"

#include <utility>

namespace rig {

namespace {
std::string describe(int port, const std::string& device, const std::string& reason) {
  std::string text = "port " + std::to_string(port);
  if (!device.empty()) text += " (" + device + ")";
  return text + ": " + reason;
}
}  // namespace

SerialError::SerialError(int port, std::string device, std::string reason)
    : std::runtime_error(describe(port, device, reason)),
      port_(port),
      device_(std::move(device)),
      reason_(std::move(reason)) {}

}  // namespace rig
