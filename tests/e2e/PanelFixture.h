#pragma once

#include <gtest/gtest.h>

#include <QComboBox>
#include <QCoreApplication>
#include <QEvent>
#include <QFile>
#include <QLineEdit>
#include <QPushButton>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <QTest>
#include <chrono>
#include <cstdio>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "serial/CommControl.h"
#include "serial/PortMap.h"
#include "sim/RelayModule.h"
#include "windows/Form1.h"
#include "windows/Windows.h"

// The main window on the real serial control, talking to simulated relay modules over real
// pseudo-terminals. Each test lays out its own ports; failures are recorded instead of shown.
class PanelTest : public ::testing::Test {
 protected:
  struct Failure {
    QString title;
    QString text;
  };

  void SetUp() override {
    ASSERT_TRUE(temp.isValid());
    Form1::setFailureReporter([this](const QString& title, const QString& text) {
      failures.push_back({title, text});
    });
  }

  void TearDown() override {
    destroyWindows();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    Form1::setFailureReporter(nullptr);
    setSerialFactory(nullptr);
  }

  // Shows the main window with port n mapped to devices[n-1]; an empty entry leaves that
  // number without a device.
  Form1& panelOn(const QStringList& devices) {
    setSerialFactory(
        [map = serial::PortMap(devices)] { return std::make_unique<serial::CommControl>(map); });
    Form1& window = form1();
    window.show();
    return window;
  }

  // A path in this test's temporary directory where no device is.
  QString absentDevice(const QString& name) const { return temp.filePath(name); }

  // Points the symbolic link `link` at `target`, replacing it in one step as a udev rule would
  // when a new device takes the old one's name.
  static bool pointLink(const QString& link, const std::string& target) {
    const QString fresh = link + QStringLiteral(".new");
    QFile::remove(fresh);
    return QFile::link(QString::fromStdString(target), fresh) &&
           std::rename(fresh.toLocal8Bit().constData(), link.toLocal8Bit().constData()) == 0;
  }

  // What the operator does: select the selector's text, type over it, click "Open Com Port".
  static void openWith(const QString& text) {
    QLineEdit* field = form1().combo1()->lineEdit();
    field->selectAll();
    QTest::keyClicks(field, text);
    form1().command1()->click();
  }

  static std::string text(const QLineEdit* edit) { return edit->text().toStdString(); }
  static std::string text(const QPushButton* button) { return button->text().toStdString(); }
  static std::string selectorText() { return form1().combo1()->currentText().toStdString(); }

  static std::vector<std::string> texts(const std::vector<sim::Command>& commands) {
    std::vector<std::string> out;
    for (const auto& command : commands) out.push_back(command.text);
    return out;
  }

  // The commands that switch a relay, in the order the module received them.
  static std::vector<sim::Command> switching(const std::vector<sim::Command>& commands) {
    std::vector<sim::Command> out;
    for (const auto& command : commands) {
      if (command.text.starts_with("relay on ") || command.text.starts_with("relay off ")) {
        out.push_back(command);
      }
    }
    return out;
  }

  static std::chrono::milliseconds between(const sim::Command& first, const sim::Command& later) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(later.at - first.at);
  }

  QTemporaryDir temp;
  std::vector<Failure> failures;
};

// The module stamps a command when its carriage return arrives, so two commands sent exactly
// half a second apart can show a little less when the first one was picked up late on a busy
// machine. The allowance is far below what a wait that ends early (by a coarse timer, or on a
// clock that jumps) would lose.
inline constexpr std::chrono::milliseconds kHalfSecondSeen{495};

// Readable QString values in failure messages.
inline void PrintTo(const QString& text, std::ostream* out) {
  *out << '"' << text.toStdString() << '"';
}
