#pragma once

#include <QString>
#include <QStringList>

#include "rig/Devices.h"

namespace serial {

// The serial devices the system has now, each with what identifies its module. Asked afresh at
// every opening; tests put a list of their own in its place.
class DeviceSource {
 public:
  DeviceSource() = default;
  DeviceSource(const DeviceSource&) = delete;
  DeviceSource& operator=(const DeviceSource&) = delete;
  virtual ~DeviceSource() = default;

  // In any order; PortMap::ordered numbers them.
  virtual rig::PortList devices() const = 0;
  // The folders where a device coming or going shows.
  virtual QStringList folders() const = 0;
};

// The system's own list (QSerialPortInfo), with the USB port location read from sysfs on Linux.
class SystemDevices : public DeviceSource {
 public:
  rig::PortList devices() const override;
  // /dev and /dev/serial/by-id.
  QStringList folders() const override;

  // The USB port location in a device's sysfs path: "1-2.4" from
  // ".../usb1/1-2/1-2.4/1-2.4:1.0/ttyUSB0"; empty when there is none.
  static QString usbLocation(const QString& sysfsPath);
};

}  // namespace serial
