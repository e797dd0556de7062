#pragma once

#include <optional>
#include <string>
#include <vector>

namespace rig {

// A port's device as the serial control lists it, with what identifies the module behind it.
struct DeviceInfo {
  // The device the port number stands for ("/dev/ttyUSB0", a --ports path, "COM3").
  std::string path;
  // True when the path itself is the identity: an entry of the operator's own list, or a device
  // that is not on USB (the same path is the same port there).
  bool byPath = false;
  // Whether the device is there now.
  bool present = true;
  // The USB identity: vendor and product id as four hex digits, the serial number, and the USB
  // port location ("1-2.4"); empty when not known.
  std::string vendorId;
  std::string productId;
  std::string serialNumber;
  std::string location;
};

// The ports by number: entry n-1 is port n.
using PortList = std::vector<DeviceInfo>;

// Whether `candidate` is the module `lost` was: the same path for a path identity; otherwise the
// same vendor and product id and the same serial number, or, for a module without a serial
// number, the same USB port location. Never a module that cannot be told apart.
bool sameModule(const DeviceInfo& lost, const DeviceInfo& candidate);

// The number of the port where the lost module is present now, if it is.
std::optional<int> findModule(const DeviceInfo& lost, const PortList& ports);

// Whether two paths name one device: the same path, or links that lead to the same device (a
// path that cannot be resolved now stands for itself).
bool sameDevice(const std::string& a, const std::string& b);

}  // namespace rig
