#pragma once

#include <QFileSystemWatcher>
#include <QObject>
#include <QStringList>
#include <QTimer>

namespace serial {

// Tells when a serial device may have come or gone. The folders where devices appear are
// watched through the system's change notifications, so nothing runs while nothing changes; a
// folder that does not exist yet (/dev/serial/by-id before the first USB device) is watched from
// its nearest existing parent until it does. Where the system has no such notifications for
// devices (Windows), it looks twice a second instead.
class DeviceWatcher : public QObject {
  Q_OBJECT

 public:
  explicit DeviceWatcher(QObject* parent = nullptr);

  // Watches these folders from now on, in place of any earlier ones.
  void watch(const QStringList& folders);
  void stop();
  bool watching() const { return !folders_.isEmpty(); }

 signals:
  // Something changed in a watched folder; a burst of changes is told once.
  void changed();

 private:
  void onChange();
  // Watches the wanted folders, or the nearest parent of those that do not exist yet.
  void follow();

  QFileSystemWatcher watcher_;
  QTimer settle_;
  QTimer poll_;
  QStringList folders_;
};

}  // namespace serial
