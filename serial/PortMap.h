#pragma once

#include <QString>
#include <QStringList>
#include <utility>

namespace serial {

// Which system device a port number (1-based) stands for.
//
// On Windows port n is COMn. Elsewhere port n is the n-th entry of a list: given by the operator
// (--ports DEV1,DEV2,..., where an empty entry leaves that number without a device), or else the
// serial devices the system lists, USB devices (ttyACM*, ttyUSB*) first, then the others, each
// group in name order.
class PortMap {
 public:
  PortMap() = default;
  explicit PortMap(QStringList devices) : devices_(std::move(devices)) {}

  // "DEV1,DEV2,,DEV4": port 3 has no device.
  static PortMap fromList(const QString& commaSeparated);
  // The system's serial devices in the order above (on Windows: COMn for every n).
  static PortMap fromSystem();
  // The given device paths in that order: USB devices first, each group in name order.
  static PortMap ordered(const QStringList& systemLocations);

  // The device of port n, or an empty string when n has none.
  QString device(int port) const;
  const QStringList& devices() const { return devices_; }

 private:
  QStringList devices_;
  bool comNames_ = false;  // Windows: every n is COMn
};

}  // namespace serial
