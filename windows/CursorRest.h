#pragma once

#include <QObject>
#include <QTimer>
#include <chrono>

namespace windows {

// Stops the text cursor's blinking once nobody has typed, clicked or moved the mouse over the
// application's windows for a while, and starts it again at the next input. A blinking cursor
// repaints its window twice a second: a panel left open for hours at a shoot, waiting for its
// module, would otherwise wake the processor for nothing. The cursor stays visible meanwhile.
class CursorRest : public QObject {
  Q_OBJECT

 public:
  static constexpr std::chrono::milliseconds kIdle{10000};

  // Watches the whole application's input from now on.
  explicit CursorRest(std::chrono::milliseconds idle = kIdle, QObject* parent = nullptr);
  ~CursorRest() override;

  bool resting() const { return resting_; }

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void rest();

  QTimer idle_;
  int flashTime_;  // the blinking's period as the desktop sets it, put back at the next input
  bool resting_ = false;
};

}  // namespace windows
