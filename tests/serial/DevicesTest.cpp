#include <gtest/gtest.h>

#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QTemporaryDir>
#include <QTimer>
#include <chrono>
#include <memory>
#include <string>

#include "serial/CommControl.h"
#include "serial/DeviceSource.h"
#include "serial/DeviceWatcher.h"
#include "support/Pty.h"

using namespace std::chrono_literals;
using serial::CommControl;

namespace {

// A device list the test sets, in place of the system's.
class ListedDevices : public serial::DeviceSource {
 public:
  rig::PortList devices() const override { return list; }
  QStringList folders() const override { return {}; }
  rig::PortList list;
};

rig::DeviceInfo usbDevice(const std::string& path, const std::string& serialNumber) {
  rig::DeviceInfo info;
  info.path = path;
  info.vendorId = "0403";
  info.productId = "6001";
  info.serialNumber = serialNumber;
  return info;
}

TEST(SystemDevices, TheUsbLocationIsTheDeepestHubPort) {
  EXPECT_EQ(
      serial::SystemDevices::usbLocation(
          "/sys/devices/pci0000:00/0000:00:14.0/usb1/1-2/1-2.4/1-2.4:1.0/ttyUSB0/tty/ttyUSB0"),
      "1-2.4");
  EXPECT_EQ(serial::SystemDevices::usbLocation(
                "/sys/devices/pci0000:00/0000:00:14.0/usb3/3-1/3-1:1.0/tty/ttyACM0"),
            "3-1");
  EXPECT_EQ(serial::SystemDevices::usbLocation("/sys/devices/platform/serial8250/tty/ttyS0"), "");
}

// The numbering follows the devices at each reading: a module plugged in after the control was
// made gets its number, USB first and in name order, with its identity.
TEST(FreshDevices, EachReadingNumbersTheDevicesThereNow) {
  Pty later;
  auto source = std::make_shared<ListedDevices>();
  CommControl control{std::shared_ptr<const serial::DeviceSource>(source)};
  EXPECT_TRUE(control.refreshPorts().empty());
  control.setPortNumber(1);
  EXPECT_THROW(control.setPortOpen(true), rig::SerialError);

  rig::DeviceInfo builtIn;
  builtIn.path = "/dev/ttyS0";
  builtIn.byPath = true;
  // The pseudo-terminal behind a USB device's name, so that it is numbered as one.
  QTemporaryDir dir;
  const QString usbName = dir.filePath(QStringLiteral("ttyUSB0"));
  ASSERT_TRUE(QFile::link(QString::fromStdString(later.slavePath()), usbName));
  source->list = {builtIn, usbDevice(usbName.toStdString(), "A10K1234")};

  const rig::PortList ports = control.refreshPorts();
  ASSERT_EQ(ports.size(), 2U);
  EXPECT_EQ(ports[0].path, usbName.toStdString());
  EXPECT_EQ(ports[0].serialNumber, "A10K1234");
  EXPECT_EQ(ports[1].path, "/dev/ttyS0");
  EXPECT_EQ(control.device(), usbName.toStdString());
  control.setPortOpen(true);
  EXPECT_TRUE(control.portOpen());

  // While a port is open its number keeps naming its device.
  source->list.erase(source->list.begin());
  control.refreshPorts();
  EXPECT_EQ(control.device(), usbName.toStdString());
}

// A link appearing in a watched folder that did not exist at first is told, once per burst,
// and nothing is told after the watch ends.
TEST(DeviceWatcher, ToldOfDevicesComingAndGoingInFoldersThatAppearLater) {
  QTemporaryDir dir;
  const QString byId = dir.filePath(QStringLiteral("serial/by-id"));
  serial::DeviceWatcher watcher;
  int changes = 0;
  QObject::connect(&watcher, &serial::DeviceWatcher::changed, [&] { ++changes; });
  watcher.watch({byId});

  const auto settle = [] {
    QEventLoop loop;
    QTimer::singleShot(100ms, &loop, &QEventLoop::quit);
    loop.exec();
  };
  ASSERT_TRUE(QDir().mkpath(byId));
  settle();
  EXPECT_GE(changes, 1);

  changes = 0;
  ASSERT_TRUE(QFile::link(QStringLiteral("/dev/null"), byId + QStringLiteral("/usb-relay")));
  ASSERT_TRUE(QFile::link(QStringLiteral("/dev/null"), byId + QStringLiteral("/usb-other")));
  settle();
  EXPECT_EQ(changes, 1);

  watcher.stop();
  changes = 0;
  QFile::remove(byId + QStringLiteral("/usb-relay"));
  settle();
  EXPECT_EQ(changes, 0);
}

}  // namespace
