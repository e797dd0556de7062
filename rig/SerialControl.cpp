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

const char* kindName(FailureKind kind) {
  switch (kind) {
    case FailureKind::NoDevice:
      return "no-device";
    case FailureKind::Busy:
      return "busy";
    case FailureKind::Permission:
      return "permission";
    case FailureKind::NotSerialPort:
      return "not-serial-port";
    case FailureKind::NotOpen:
      return "not-open";
    case FailureKind::DeviceGone:
      return "device-gone";
    case FailureKind::WriteFailed:
      return "write-failed";
    case FailureKind::NoAnswer:
      return "no-answer";
    case FailureKind::NotUnderstood:
      return "not-understood";
    case FailureKind::Other:
      break;
  }
  return "other";
}

SerialError::SerialError(int port, std::string device, std::string reason, FailureKind kind)
    : std::runtime_error(describe(port, device, reason)),
      port_(port),
      device_(std::move(device)),
      reason_(std::move(reason)),
      kind_(kind) {}

}  // namespace rig
