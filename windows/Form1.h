#pragma once

#include <QString>
#include <QWidget>
#include <deque>
#include <functional>
#include <memory>
#include <string>

#include "EventLoopClock.h"
#include "rig/Panel.h"
#include "rig/Rig.h"
#include "rig/SerialControl.h"

class QCloseEvent;
class QComboBox;
class QImage;
class QLabel;
class QLineEdit;
class QPushButton;

// The main window: port selector, port opening, status box, the four action buttons, two hidden
// diagnostic boxes, and the serial control every command goes through.
//
// Every click handler runs its work through one guard: an action requested while another runs
// (possible only from events that reach the window during a wait, such as timers or an
// accessibility "press") is queued and run after it, in order, never nested; a failure that
// leaves an action is reported in a warning naming the action, the port, the device and the
// reason, and the panel goes on with the state the action left.
class Form1 : public QWidget, public rig::Panel {
  Q_OBJECT

 public:
  // Receives the failure report instead of the warning dialog when set (tests).
  using FailureReporter = std::function<void(const QString& title, const QString& text)>;

  explicit Form1(std::unique_ptr<rig::SerialControl> serial, QWidget* parent = nullptr);
  ~Form1() override;

  static void setFailureReporter(FailureReporter reporter);

  // rig::Panel
  std::string text(rig::Control control) const override;
  void setText(rig::Control control, const std::string& text) override;
  bool enabled(rig::Control control) const override;
  void setEnabled(rig::Control control, bool enabled) override;
  void setToolTip(rig::Control control, const std::string& tip) override;
  using QWidget::setEnabled;
  using QWidget::setToolTip;

  // Runs `work` now when no action is running, otherwise after the running one (and any queued
  // before it) has ended.
  void whenIdle(std::function<void()> work);
  // True while an action runs (including its waits).
  bool busy() const { return busy_; }

  rig::SerialControl& serialControl() { return *MSComm1; }
  rig::Rig& rig() { return rig_; }

  QComboBox* combo1() const { return Combo1; }
  QPushButton* command1() const { return Command1; }
  QPushButton* command2() const { return Command2; }
  QPushButton* command5() const { return Command5; }
  QPushButton* command6() const { return Command6; }
  QPushButton* command8() const { return Command8; }
  QLineEdit* text2() const { return Text2; }
  QLineEdit* text3() const { return Text3; }
  QLineEdit* text4() const { return Text4; }
  QLabel* label1() const { return Label1; }

  // The 16 x 16 black-and-white window icon.
  static QImage iconImage();

 protected:
  void closeEvent(QCloseEvent* event) override;

 private:
  void command1Click();
  void command2Click();
  void command5Click();
  void command6Click();
  void command8Click();

  void guarded(const QString& action, std::function<void()> work);
  void runAction(const QString& action, const std::function<void()>& work);
  void runDeferred();
  void reportFailure(const QString& action, const QString& details);

  QWidget* widgetFor(rig::Control control) const;

  std::unique_ptr<rig::SerialControl> MSComm1;
  EventLoopClock clock_;
  rig::Rig rig_;

  QComboBox* Combo1;
  QPushButton* Command1;
  QPushButton* Command2;
  QPushButton* Command5;
  QPushButton* Command6;
  QPushButton* Command8;
  QLineEdit* Text2;
  QLineEdit* Text3;
  QLineEdit* Text4;
  QLabel* Label1;

  bool busy_ = false;
  bool runningDeferred_ = false;
  std::deque<std::function<void()>> deferred_;
};
