#include "PortMap.h"

#include <QSerialPortInfo>
#include <algorithm>
#include <utility>
#include <vector>

namespace serial {

namespace {

// "ttyUSB10" -> {"ttyUSB", 10}; a name without a trailing number gives -1.
std::pair<QString, long long> splitTrailingNumber(const QString& name) {
  qsizetype digits = name.size();
  while (digits > 0 && name.at(digits - 1).isDigit()) --digits;
  if (digits == name.size()) return {name, -1};
  bool ok = false;
  const long long number = name.mid(digits).toLongLong(&ok);
  return {name.left(digits), ok ? number : -1};
}

// Name order as a person reads it: ttyUSB2 before ttyUSB10.
bool nameLess(const QString& a, const QString& b) {
  const auto [stemA, numberA] = splitTrailingNumber(a);
  const auto [stemB, numberB] = splitTrailingNumber(b);
  if (stemA != stemB) return stemA < stemB;
  if (numberA != numberB) return numberA < numberB;
  return a < b;
}

bool isUsbName(const QString& name) {
  return name.startsWith(QLatin1String("ttyACM")) || name.startsWith(QLatin1String("ttyUSB"));
}

}  // namespace

PortMap PortMap::fromList(const QString& commaSeparated) {
  QStringList devices;
  if (!commaSeparated.trimmed().isEmpty()) {
    for (const QString& entry : commaSeparated.split(QLatin1Char(',')))
      devices.append(entry.trimmed());
  }
  return PortMap(std::move(devices));
}

PortMap PortMap::fromSystem() {
#ifdef Q_OS_WIN
  PortMap map;
  map.comNames_ = true;
  return map;
#else
  QStringList locations;
  for (const QSerialPortInfo& info : QSerialPortInfo::availablePorts())
    locations.append(info.systemLocation());
  return ordered(locations);
#endif
}

PortMap PortMap::ordered(const QStringList& systemLocations) {
  struct Entry {
    QString name;  // the last part of the path: ttyUSB0
    QString location;
  };
  std::vector<Entry> usb;
  std::vector<Entry> others;
  for (const QString& location : systemLocations) {
    const qsizetype slash = location.lastIndexOf(QLatin1Char('/'));
    Entry entry{slash < 0 ? location : location.mid(slash + 1), location};
    (isUsbName(entry.name) ? usb : others).push_back(std::move(entry));
  }
  const auto byName = [](const Entry& a, const Entry& b) { return nameLess(a.name, b.name); };
  std::stable_sort(usb.begin(), usb.end(), byName);
  std::stable_sort(others.begin(), others.end(), byName);

  QStringList devices;
  for (const Entry& entry : usb) devices.append(entry.location);
  for (const Entry& entry : others) devices.append(entry.location);
  return PortMap(std::move(devices));
}

QString PortMap::device(int port) const {
  if (port < 1) return {};
  if (comNames_) return QStringLiteral("COM%1").arg(port);
  if (port > devices_.size()) return {};
  return devices_.at(port - 1);
}

}  // namespace serial
