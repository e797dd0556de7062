#include "DeviceWatcher.h"

#include <QDir>
#include <QFileInfo>

namespace serial {

namespace {

// Changes that come together (a device node, its by-id link, their permissions) are told once,
// after this quiet time.
constexpr int kSettleMs = 10;
// Where there are no notifications: how often to look.
constexpr int kPollMs = 500;

QString nearestExisting(QString folder) {
  while (!QFileInfo(folder).isDir()) {
    const QString parent = QFileInfo(folder).absolutePath();
    if (parent == folder) break;
    folder = parent;
  }
  return folder;
}

}  // namespace

DeviceWatcher::DeviceWatcher(QObject* parent)
    : QObject(parent), watcher_(this), settle_(this), poll_(this) {
  settle_.setSingleShot(true);
  settle_.setInterval(kSettleMs);
  poll_.setInterval(kPollMs);
  connect(&watcher_, &QFileSystemWatcher::directoryChanged, this, &DeviceWatcher::onChange);
  connect(&settle_, &QTimer::timeout, this, [this] {
    follow();  // a folder may have come or gone with the change
    emit changed();
  });
  connect(&poll_, &QTimer::timeout, this, &DeviceWatcher::changed);
}

void DeviceWatcher::watch(const QStringList& folders) {
  stop();
  folders_ = folders;
  folders_.removeDuplicates();
#ifdef Q_OS_WIN
  poll_.start();
#else
  follow();
#endif
}

void DeviceWatcher::stop() {
  folders_.clear();
  settle_.stop();
  poll_.stop();
  const QStringList watched = watcher_.directories();
  if (!watched.isEmpty()) watcher_.removePaths(watched);
}

void DeviceWatcher::onChange() {
  if (!folders_.isEmpty()) settle_.start();
}

void DeviceWatcher::follow() {
  QStringList wanted;
  for (const QString& folder : folders_) wanted.append(nearestExisting(QDir::cleanPath(folder)));
  wanted.removeDuplicates();
  const QStringList watched = watcher_.directories();
  for (const QString& folder : watched) {
    if (!wanted.contains(folder)) watcher_.removePath(folder);
  }
  for (const QString& folder : wanted) {
    if (!watched.contains(folder)) watcher_.addPath(folder);
  }
}

}  // namespace serial
