#include "DeviceSource.h"

#include <QFileInfo>
#include <QRegularExpression>
#include <QSerialPortInfo>

namespace serial {

namespace {

QString hex4(quint16 id) { return QStringLiteral("%1").arg(id, 4, 16, QLatin1Char('0')); }

}  // namespace

QString SystemDevices::usbLocation(const QString& sysfsPath) {
  // A USB device's folder is named bus-port[.port...]; its interfaces add ":config.interface".
  static const QRegularExpression device(QStringLiteral("^[0-9]+-[0-9]+(\\.[0-9]+)*$"));
  QString location;
  for (const QString& part : sysfsPath.split(QLatin1Char('/'), Qt::SkipEmptyParts)) {
    if (device.match(part).hasMatch()) location = part;  // the deepest hub port wins
  }
  return location;
}

QStringList SystemDevices::folders() const {
  return {QStringLiteral("/dev"), QStringLiteral("/dev/serial/by-id")};
}

rig::PortList SystemDevices::devices() const {
  rig::PortList list;
  for (const QSerialPortInfo& info : QSerialPortInfo::availablePorts()) {
    rig::DeviceInfo device;
    device.path = info.systemLocation().toStdString();
    if (info.hasVendorIdentifier() && info.hasProductIdentifier()) {
      device.vendorId = hex4(info.vendorIdentifier()).toStdString();
      device.productId = hex4(info.productIdentifier()).toStdString();
      device.serialNumber = info.serialNumber().toStdString();
#ifdef Q_OS_LINUX
      device.location =
          usbLocation(QFileInfo(QStringLiteral("/sys/class/tty/%1/device").arg(info.portName()))
                          .canonicalFilePath())
              .toStdString();
#endif
    } else {
      device.byPath = true;  // not on USB: the same device name is the same port
    }
    list.push_back(std::move(device));
  }
  return list;
}

}  // namespace serial
