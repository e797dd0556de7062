#pragma once

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QEvent>
#include <QFile>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "serial/CommControl.h"
#include "serial/PortMap.h"
#include "sim/RelayModule.h"
#include "support/FailureRecorder.h"
#include "support/Fakes.h"
#include "windows/Form1.h"
#include "windows/Windows.h"

// The texts of the commands a module received, in order.
inline std::vector<std::string> texts(const std::vector<sim::Command>& commands) {
  std::vector<std::string> out;
  for (const auto& command : commands) out.push_back(command.text);
  return out;
}

// The main window on the real serial control, talking to simulated relay modules over real
// pseudo-terminals. Each test lays out its own ports in a private folder; warnings are recorded
// instead of shown.
class PanelOnPtys : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(temp.isValid()); }

  void TearDown() override {
    destroyWindows();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    setSerialFactory(nullptr);
    setClockFactory(nullptr);
  }

  // The main window created from now on maps port n to devices[n-1]; an empty entry leaves
  // that number without a device.
  static void useDevices(const QStringList& devices) {
    setSerialFactory(
        [map = serial::PortMap(devices)] { return std::make_unique<serial::CommControl>(map); });
  }

  // From now on the rig of a new main window skips its own pulses and pauses (the line's answers
  // still take their real time); a test of how long something lasts on the line keeps the real
  // clock.
  static void useSkippingClock() {
    setClockFactory(
        [](rig::SerialControl& serial) { return std::make_unique<fakes::SkippingClock>(serial); });
  }
  static void useRealClock() { setClockFactory(nullptr); }

  // A path in this test's private folder (where nothing is until the test puts it there).
  QString tempPath(const QString& name) const { return temp.filePath(name); }

  // Points the symbolic link `link` at `target`, replacing it in one step as a udev rule would
  // when a new device takes the old one's name.
  static bool pointLink(const QString& link, const std::string& target) {
    const QString fresh = link + QStringLiteral(".new");
    QFile::remove(fresh);
    return QFile::link(QString::fromStdString(target), fresh) &&
           std::rename(fresh.toLocal8Bit().constData(), link.toLocal8Bit().constData()) == 0;
  }

  QTemporaryDir temp;
  std::vector<Failure> failures;
  FailureRecorder recorder{failures};
};
