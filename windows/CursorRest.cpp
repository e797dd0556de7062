#include "CursorRest.h"

#include <QApplication>
#include <QEvent>

namespace windows {

CursorRest::CursorRest(std::chrono::milliseconds idle, QObject* parent)
    : QObject(parent), flashTime_(QApplication::cursorFlashTime()) {
  idle_.setSingleShot(true);
  idle_.setInterval(idle);
  connect(&idle_, &QTimer::timeout, this, &CursorRest::rest);
  qApp->installEventFilter(this);
  idle_.start();
}

CursorRest::~CursorRest() {
  qApp->removeEventFilter(this);
  if (resting_) QApplication::setCursorFlashTime(flashTime_);
}

bool CursorRest::eventFilter(QObject* watched, QEvent* event) {
  switch (event->type()) {
    case QEvent::KeyPress:
    case QEvent::MouseButtonPress:
    case QEvent::MouseMove:
    case QEvent::Wheel:
    case QEvent::TouchBegin:
    case QEvent::FocusIn:
      if (resting_) {
        resting_ = false;
        QApplication::setCursorFlashTime(flashTime_);
      }
      // Restarted only when it runs late: input comes in bursts, timers need not follow each.
      if (idle_.remainingTime() < idle_.interval() / 2) idle_.start();
      break;
    default:
      break;
  }
  return QObject::eventFilter(watched, event);
}

void CursorRest::rest() {
  // Zero: the cursor is shown without blinking.
  flashTime_ = QApplication::cursorFlashTime();
  resting_ = true;
  QApplication::setCursorFlashTime(0);
}

}  // namespace windows
