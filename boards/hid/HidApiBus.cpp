#include "HidApiBus.h"

#include <hidapi.h>

#include <cerrno>
#include <cstring>
#include <cwchar>

#include "rig/SerialControl.h"

namespace hid {

namespace {

std::string narrow(const wchar_t* text) {
  std::string out;
  for (; text != nullptr && *text != L'\0'; ++text) {
    out += *text < 0x80 ? static_cast<char>(*text) : '?';
  }
  return out;
}

// hidapi's last error for the device (or for the library, with none).
std::string lastError(hid_device* device) {
  const wchar_t* text = hid_error(device);
  return text != nullptr ? narrow(text) : "unknown error";
}

rig::SerialError failure(const std::string& path, const std::string& reason,
                         rig::FailureKind kind) {
  return rig::failed(kind, path + ": " + reason, path);
}

class HidApiDevice : public rig::HidDevice {
 public:
  HidApiDevice(hid_device* device, std::string path) : device_(device), path_(std::move(path)) {}
  ~HidApiDevice() override { hid_close(device_); }
  HidApiDevice(const HidApiDevice&) = delete;
  HidApiDevice& operator=(const HidApiDevice&) = delete;

  void sendFeatureReport(const std::vector<std::uint8_t>& report) override {
    if (hid_send_feature_report(device_, report.data(), report.size()) < 0) {
      // ENODEV: unplugged; anything else: the board refused the transfer.
      const bool gone = errno == ENODEV;
      throw failure(path_, lastError(device_),
                    gone ? rig::FailureKind::DeviceGone : rig::FailureKind::WriteFailed);
    }
  }

  std::vector<std::uint8_t> getFeatureReport(std::uint8_t reportId, std::size_t length) override {
    std::vector<std::uint8_t> report(length, 0);
    report[0] = reportId;
    const int got = hid_get_feature_report(device_, report.data(), report.size());
    if (got < 0) {
      const bool gone = errno == ENODEV;
      throw failure(path_, lastError(device_),
                    gone ? rig::FailureKind::DeviceGone : rig::FailureKind::NoAnswer);
    }
    report.resize(static_cast<std::size_t>(got));
    return report;
  }

 private:
  hid_device* device_;
  std::string path_;
};

}  // namespace

HidApiBus::HidApiBus() { hid_init(); }

HidApiBus::~HidApiBus() { hid_exit(); }

std::vector<rig::HidDeviceInfo> HidApiBus::enumerate(std::uint16_t vendorId,
                                                     std::uint16_t productId) {
  std::vector<rig::HidDeviceInfo> devices;
  hid_device_info* list = hid_enumerate(vendorId, productId);
  for (const hid_device_info* info = list; info != nullptr; info = info->next) {
    devices.push_back({info->path != nullptr ? info->path : "", narrow(info->product_string)});
  }
  hid_free_enumeration(list);
  return devices;
}

std::unique_ptr<rig::HidDevice> HidApiBus::open(const std::string& path) {
  errno = 0;
  hid_device* device = hid_open_path(path.c_str());
  if (device == nullptr) {
    const int err = errno;
    const std::string reason = err != 0 ? std::strerror(err) : lastError(nullptr);
    const rig::FailureKind kind = err == EACCES || err == EPERM ? rig::FailureKind::Permission
                                  : err == EBUSY                ? rig::FailureKind::Busy
                                                                : rig::FailureKind::NoDevice;
    throw failure(path, reason, kind);
  }
  return std::make_unique<HidApiDevice>(device, path);
}

}  // namespace hid
