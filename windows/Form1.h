#pragma once

#include <QString>
#include <QWidget>
#include <functional>
#include <memory>

#include "rig/State.h"
#include "service/RigService.h"

class QCloseEvent;
class QComboBox;
class QImage;
class QLabel;
class QLineEdit;
class QPushButton;

// The main window: port selector, port opening, status box, the four action buttons and two
// hidden diagnostic boxes. The rig service owns the serial control and runs the actions: a
// click posts its request, and the controls follow what the service reports, so the window never
// waits. Requests run one after the other in the order they were made; a failure of a click's
// action is reported in a warning naming the action, the port, the device and the reason.
class Form1 : public QWidget {
  Q_OBJECT

 public:
  // Receives the failure report instead of the warning dialog when set (tests).
  using FailureReporter = std::function<void(const QString& title, const QString& text)>;

  // On the rig service of the program's session; it outlives the window.
  explicit Form1(service::RigService& service, QWidget* parent = nullptr);
  // On a rig service of the window's own, whose serial control `makeSerial` makes on the
  // service's thread (a window alone, as in the tests and the benchmark).
  explicit Form1(service::RigService::SerialFactory makeSerial,
                 service::RigService::ClockFactory makeClock = nullptr, QWidget* parent = nullptr);
  ~Form1() override;

  static void setFailureReporter(FailureReporter reporter);

  // The rig service behind the window; other channels post their requests to it as well.
  service::RigService& service() { return *service_; }

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

  // Posts the request of a click; its failure is reported when it comes back.
  void post(const service::Request& request);
  void reportFailure(const QString& title, const QString& text);

  // Shows the part of the state the rig has just set.
  void follow(const rig::RigState& state, rig::Change change);
  void showStatusTip();

  Form1(service::RigService* service, std::unique_ptr<service::RigService> own, QWidget* parent);

  std::unique_ptr<service::RigService> ownService_;
  service::RigService* service_;

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

  QString statusTip_;         // the rig's part of the status box's tooltip
  bool brokerSeen_ = false;   // a broker bridge has told its link
  bool closeQueued_ = false;  // a close waits for the requests made before it
  bool closeNow_ = false;     // ...and then takes effect
};
