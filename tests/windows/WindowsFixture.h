#pragma once

#include <gtest/gtest.h>

#include <QApplication>
#include <QComboBox>
#include <QCoreApplication>
#include <QEvent>
#include <QPushButton>
#include <QString>
#include <memory>
#include <vector>

#include "support/FailureRecorder.h"
#include "support/Fakes.h"
#include "support/Settle.h"
#include "windows/Form1.h"
#include "windows/Windows.h"

// Each test starts with no window, a fresh fake line, and failures recorded instead of shown.
class WindowsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    line = std::make_shared<fakes::FakeLine>();
    setSerialFactory([line = line] { return std::make_unique<fakes::LineSerial>(line); });
    // The rig's waits take no time: the window follows the same steps, only sooner.
    setClockFactory([](rig::SerialControl&) { return std::make_unique<fakes::FakeClock>(); });
  }

  void TearDown() override {
    destroyWindows();
    flushDeletes();
    setSerialFactory(nullptr);
    setClockFactory(nullptr);
  }

  static void flushDeletes() {
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
  }

  // For a test that acts while an action is still running: the rig's waits take their time.
  static void useRealClock() { setClockFactory(nullptr); }

  // Clicks `button` and waits until what the click asked for has run.
  static void clickAndWait(QPushButton* button) {
    button->click();
    settle(form1().service());
  }

  // Opens port 3 by number, as an operator would: type "3", click "Open Com Port".
  void openPort() {
    form1().combo1()->setEditText(QStringLiteral("3"));
    clickAndWait(form1().command1());
    ASSERT_TRUE(form1().service().state().open);
    line->sent.clear();
  }

  std::shared_ptr<fakes::FakeLine> line;
  std::vector<Failure> failures;
  FailureRecorder recorder{failures};
};
