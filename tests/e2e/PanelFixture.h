#pragma once

#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <chrono>
#include <string>
#include <vector>

#include "sim/RelayModule.h"
#include "support/PanelOnPtys.h"
#include "support/Settle.h"
#include "windows/Form1.h"

// The end-to-end tests: the panel shown on simulated modules, driven as the operator drives it.
class PanelTest : public PanelOnPtys {
 protected:
  // Shows the main window with port n mapped to devices[n-1].
  static Form1& panelOn(const QStringList& devices) {
    useDevices(devices);
    Form1& window = form1();
    window.show();
    return window;
  }

  // A path in this test's private folder where no device is.
  QString absentDevice(const QString& name) const { return tempPath(name); }

  // What the operator does: select the selector's text, type over it, click "Open Com Port".
  static void openWith(const QString& text) {
    QLineEdit* field = form1().combo1()->lineEdit();
    field->selectAll();
    QTest::keyClicks(field, text);
    clickAndWait(form1().command1());
  }

  // Clicks `button` and waits until what it asked for has run and the window shows its end.
  static void clickAndWait(QPushButton* button) {
    button->click();
    settle(form1().service());
  }

  static std::string text(const QLineEdit* edit) { return edit->text().toStdString(); }
  static std::string text(const QPushButton* button) { return button->text().toStdString(); }
  static std::string selectorText() { return form1().combo1()->currentText().toStdString(); }

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
};

// The module stamps a command when its carriage return arrives, so two commands sent exactly
// half a second apart can show a little less when the first one was picked up late on a busy
// machine. The allowance is far below what a wait that ends early (by a coarse timer, or on a
// clock that jumps) would lose.
inline constexpr std::chrono::milliseconds kHalfSecondSeen{495};
