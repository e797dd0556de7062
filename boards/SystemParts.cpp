#include <QSerialPortInfo>
#include <filesystem>
#include <map>
#include <system_error>

#include "Catalog.h"
#include "serial/PortMap.h"

#ifdef QUILLMAR_HID
#include "boards/hid/HidApiBus.h"
#endif

namespace boards {

namespace {

// The links udev keeps for each serial device, by the device they lead to: by-id first, which
// stays with the board wherever it is plugged, then by-path.
std::map<std::filesystem::path, std::string> stableLinks() {
  std::map<std::filesystem::path, std::string> links;
  for (const char* folder : {"/dev/serial/by-path", "/dev/serial/by-id"}) {
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(folder, error)) {
      const auto target = std::filesystem::canonical(entry.path(), error);
      if (!error) links[target] = entry.path().string();  // by-id, read last, wins
    }
  }
  return links;
}

QString hex4(quint16 id) { return QStringLiteral("%1").arg(id, 4, 16, QLatin1Char('0')); }

std::vector<SerialPort> systemPorts(const std::optional<QString>& list) {
  const auto links = stableLinks();
  std::map<std::filesystem::path, SerialPort> usb;  // what the system tells of each device
  for (const QSerialPortInfo& info : QSerialPortInfo::availablePorts()) {
    SerialPort port;
    port.path = info.systemLocation().toStdString();
    if (info.hasVendorIdentifier() && info.hasProductIdentifier()) {
      port.vendorId = hex4(info.vendorIdentifier()).toStdString();
      port.productId = hex4(info.productIdentifier()).toStdString();
    }
    std::error_code error;
    usb[std::filesystem::canonical(port.path, error)] = port;
  }
  QStringList paths;
  if (list) {
    paths = serial::PortMap::fromList(*list).devices();
  } else {
    for (const auto& [device, port] : usb) paths << QString::fromStdString(port.path);
    paths = serial::PortMap::ordered(paths).devices();
  }
  std::vector<SerialPort> ports;
  for (const QString& path : paths) {
    if (path.isEmpty()) continue;
    SerialPort port;
    port.path = path.toStdString();
    std::error_code error;
    const auto device = std::filesystem::canonical(port.path, error);
    if (error) continue;  // not there now
    if (const auto known = usb.find(device); known != usb.end()) {
      port.vendorId = known->second.vendorId;
      port.productId = known->second.productId;
    }
    if (const auto link = links.find(device); link != links.end()) port.stablePath = link->second;
    ports.push_back(std::move(port));
  }
  return ports;
}

}  // namespace

Catalog::Parts Catalog::systemParts(const std::optional<QString>& ports) {
  Parts parts;
  parts.ports = [ports] { return systemPorts(ports); };
#ifdef QUILLMAR_HID
  parts.hid = std::make_shared<hid::HidApiBus>();
#endif
  return parts;
}

std::function<std::unique_ptr<rig::BoardSource>()> Catalog::systemSource(
    const std::optional<QString>& ports) {
  return [ports]() -> std::unique_ptr<rig::BoardSource> {
    return std::make_unique<Catalog>(systemParts(ports));
  };
}

}  // namespace boards
