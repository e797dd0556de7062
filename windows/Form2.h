#pragma once

#include <QWidget>

class QCloseEvent;
class QPushButton;

// The trigger window: one big "START" that presses the main window's "Start". It owns no port
// and no state; closing it destroys it and brings the main window back.
class Form2 : public QWidget {
  Q_OBJECT

 public:
  explicit Form2(QWidget* parent = nullptr);

  QPushButton* command1() const { return Command1; }

 protected:
  void closeEvent(QCloseEvent* event) override;

 private:
  void command1Click();

  QPushButton* Command1;
  bool closeNow_ = false;  // a deferred close takes effect, whatever was asked for since
};
