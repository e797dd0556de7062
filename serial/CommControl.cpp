#include "CommControl.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLockFile>
#include <QLoggingCategory>
#include <QMetaObject>
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <thread>
#include <utility>

#include "DeviceWatcher.h"
#include "rig/Protocol.h"

#ifdef Q_OS_UNIX
#include <sys/file.h>
#include <unistd.h>
#endif

// The serial traffic, for diagnosis in the field: QT_LOGGING_RULES="quillmar.serial.debug=true"
// turns it on. Off by default (only warnings pass).
Q_LOGGING_CATEGORY(lcSerial, "quillmar.serial", QtWarningMsg)

namespace serial {

namespace {

// Seconds on the monotonic clock, the same scale as the rig's timings.
QString monotonicStamp() {
  const auto now = std::chrono::steady_clock::now().time_since_epoch();
  const auto micros = std::chrono::duration_cast<std::chrono::microseconds>(now).count();
  return QStringLiteral("%1.%2")
      .arg(micros / 1'000'000)
      .arg(micros % 1'000'000, 6, 10, QLatin1Char('0'));
}

#ifdef Q_OS_LINUX
// ModemManager probes (and may keep open) every new USB serial device it thinks is a modem.
bool modemManagerRunning() {
  const QStringList processes = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs);
  for (const QString& pid : processes) {
    if (pid.isEmpty() || !pid.at(0).isDigit()) continue;
    QFile comm(QStringLiteral("/proc/%1/comm").arg(pid));
    if (comm.open(QIODevice::ReadOnly) && comm.readAll().trimmed() == "ModemManager") return true;
  }
  return false;
}
#endif

#ifdef Q_OS_UNIX
// The file QSerialPort opens for a port name: a path as it is, a bare name under /dev.
QString systemLocation(const QString& name) {
  const bool path = name.startsWith(QLatin1Char('/')) || name.startsWith(QLatin1String("./")) ||
                    name.startsWith(QLatin1String("../"));
  return path ? name : QStringLiteral("/dev/") + name;
}

// The usual serial lock file of a device: LCK..<name> in the first lock directory in use, the
// name being the path under /dev with '/' as '_'. These are the file and the places QSerialPort
// uses, so a program opening the device by its own name meets the lock taken under that name.
constexpr const char* kLockDirectories[] = {"/var/lock",         "/etc/locks", "/var/spool/locks",
                                            "/var/spool/uucp",   "/tmp",       "/var/tmp",
                                            "/var/lock/lockdev", "/run/lock"};

QString lockFilePath(const QString& device) {
  QString name = device.startsWith(QLatin1String("/dev/")) ? device.mid(5) : device;
  name.replace(QLatin1Char('/'), QLatin1Char('_'));
  name.prepend(QLatin1String("/LCK.."));
  for (const char* directory : kLockDirectories) {
    QString path = QString::fromLatin1(directory) + name;
    const QFileInfo info(QString::fromLatin1(directory));
    if (info.isReadable() && (QFile::exists(path) || info.isWritable())) return path;
  }
  return {};
}
#endif

// How long output() may take to hand its bytes to the driver before it gives up.
constexpr int kWriteLimitMs = 2000;

// The receive buffer bound: when it is full, QSerialPort stops reading and the rest waits in
// the system's buffer (and, with flow control on the far side, on the line).
constexpr qint64 kReceiveBufferBytes = 1024;

// Why an open port stopped working. A read that ends with end-of-file (the line hung up, the
// device was pulled) comes back as a ReadError whose system text is left over from an earlier
// call, so that text is not repeated there.
QString describeFailure(QSerialPort::SerialPortError error, const QString& systemText) {
  switch (error) {
    case QSerialPort::ReadError:
      return QStringLiteral("the device was removed or the line hung up (read failed)");
    case QSerialPort::ResourceError:
    case QSerialPort::DeviceNotFoundError:
      return QStringLiteral("the device was removed or became unavailable (%1)").arg(systemText);
    case QSerialPort::WriteError:
      return QStringLiteral("write failed (%1)").arg(systemText);
    default:
      return systemText.isEmpty() ? QStringLiteral("the device failed") : systemText;
  }
}

}  // namespace

#ifdef Q_OS_UNIX
namespace {

// The live program other than this one that holds the lock file at `path`: "quillmar (process
// 4242)". A lock left by a program that has ended holds nothing.
std::optional<QString> holderIn(const QString& path) {
  if (path.isEmpty() || !QFile::exists(path)) return std::nullopt;
  QLockFile lock(path);
  qint64 pid = 0;
  QString host;
  QString program;
  if (!lock.getLockInfo(&pid, &host, &program) || pid <= 0 || pid == ::getpid()) {
    return std::nullopt;
  }
  if (::kill(static_cast<pid_t>(pid), 0) != 0 && errno != EPERM) return std::nullopt;
  if (program.isEmpty()) program = QStringLiteral("a program");
  return QStringLiteral("%1 (process %2)").arg(program).arg(pid);
}

}  // namespace
#endif

std::optional<QString> CommControl::holderOf(const QString& device) {
#ifdef Q_OS_UNIX
  const QString given = systemLocation(device);
  const QString canonical = QFileInfo(given).canonicalFilePath();
  for (const QString& name : {given, canonical}) {
    if (name.isEmpty()) continue;
    if (auto holder = holderIn(lockFilePath(name))) return holder;
  }
#else
  Q_UNUSED(device);
#endif
  return std::nullopt;
}

std::vector<std::pair<QString, QString>> CommControl::heldDevices() {
  std::vector<std::pair<QString, QString>> held;
#ifdef Q_OS_UNIX
  QStringList seen;
  for (const char* directory : kLockDirectories) {
    const QDir dir(QString::fromLatin1(directory));
    for (const QString& file : dir.entryList({QStringLiteral("LCK..*")}, QDir::Files)) {
      // LCK..ttyUSB0, LCK..pts_3: a device under /dev, '/' written as '_'. A lock taken under a
      // link's name (outside /dev) is met under its device's name too.
      QString name = file.mid(5);
      const QString device =
          QStringLiteral("/dev/") + name.replace(QLatin1Char('_'), QLatin1Char('/'));
      const QString canonical = QFileInfo(device).canonicalFilePath();
      if (canonical.isEmpty() || seen.contains(canonical)) continue;
      if (auto holder = holderIn(dir.filePath(file))) {
        seen << canonical;
        held.emplace_back(device, *holder);
      }
    }
  }
#endif
  return held;
}

CommControl::CommControl(PortMap map, QObject* parent) : QObject(parent), map_(std::move(map)) {
  port_.setReadBufferSize(kReceiveBufferBytes);
  connect(&port_, &QSerialPort::readyRead, this, &CommControl::noteReceived);
  connect(&port_, &QSerialPort::errorOccurred, this, &CommControl::onError);
}

CommControl::CommControl(std::shared_ptr<const DeviceSource> system, QObject* parent)
    : CommControl(PortMap::fromSystem(), parent) {
  system_ = std::move(system);
}

std::unique_ptr<CommControl> CommControl::fromOption(const std::optional<QString>& ports) {
  if (ports) return std::make_unique<CommControl>(PortMap::fromList(*ports));
  return std::make_unique<CommControl>(std::make_shared<const SystemDevices>());
}

CommControl::~CommControl() {
  disconnect(&port_, nullptr, this, nullptr);
  if (port_.isOpen()) port_.close();
}

int CommControl::portNumber() const { return number_; }

void CommControl::setPortNumber(int number) {
  if (number < 1)
    fail(number, QStringLiteral("not a valid port number"), rig::FailureKind::NoDevice);
  if (portOpen()) fail(QStringLiteral("cannot change the port number while the port is open"));
  closeLostPort();  // a failed port still holding its device must not keep it past this change
  number_ = number;
}

bool CommControl::portOpen() const { return port_.isOpen() && lostReason_.isEmpty(); }

void CommControl::setPortOpen(bool open) {
  if (!open) {
    // Closed on purpose: a loss of this opening not yet told is no longer news.
    ++openCount_;
    if (port_.isOpen()) {
      closing_ = true;
      port_.close();
      closing_ = false;
      releaseOwnership();
      qCDebug(lcSerial).noquote() << monotonicStamp() << describePort() << "closed";
    }
    return;
  }

  if (portOpen()) fail(QStringLiteral("the port is already open"));
  closeLostPort();  // a port whose device failed may still hold its handle

  const QString dev = map_.device(number_);
  if (dev.isEmpty())
    fail(QStringLiteral("no device for this port number"), rig::FailureKind::NoDevice);
#ifdef Q_OS_UNIX
  // QSerialPort creates and syncs a lock file before it tries the device, which costs
  // milliseconds on a busy disk; a port scan meets mostly absent devices, so those fail here.
  if (!QFileInfo::exists(systemLocation(dev))) {
    const QString reason =
        openFailureReason(QSerialPort::DeviceNotFoundError, qt_error_string(ENOENT), false);
    qCDebug(lcSerial).noquote() << monotonicStamp() << describePort() << "open failed:" << reason;
    fail(reason, rig::FailureKind::NoDevice);
  }
#endif

  port_.setPortName(dev);
  port_.setBaudRate(QSerialPort::Baud9600);
  port_.setDataBits(QSerialPort::Data8);
  port_.setParity(QSerialPort::NoParity);
  port_.setStopBits(QSerialPort::OneStop);
  port_.setFlowControl(QSerialPort::NoFlowControl);
  if (!port_.open(QIODevice::ReadWrite)) {
    const QSerialPort::SerialPortError error = port_.error();
    const QString systemText = port_.errorString();
    port_.clearError();
    bool modemManager = false;
#ifdef Q_OS_LINUX
    modemManager = isBusy(error, systemText) && modemManagerRunning();
#endif
    const QString reason = openFailureReason(error, systemText, modemManager);
    qCDebug(lcSerial).noquote() << monotonicStamp() << describePort() << "open failed:" << reason;
    fail(reason, openFailureKind(error, systemText));
  }
  if (!takeOwnership(dev)) {
    closing_ = true;
    port_.close();
    closing_ = false;
    port_.clearError();
    const QString reason = QStringLiteral("Device or resource busy (in use by another program)");
    qCDebug(lcSerial).noquote() << monotonicStamp() << describePort() << "open failed:" << reason;
    fail(reason, rig::FailureKind::Busy);
  }
  // Whatever the device received before this opening is no answer to anything sent now.
  port_.clear(QSerialPort::Input);
  lostReason_.clear();
  lastReceived_ = {};
  ++openCount_;
  qCDebug(lcSerial).noquote() << monotonicStamp() << describePort() << "opened at 9600 8N1";
}

bool CommControl::takeOwnership(const QString& dev) {
#ifdef Q_OS_UNIX
  // A lock on the open device itself holds whatever path opened it, and also for root, whom the
  // terminal's exclusive mode does not stop.
  if (::flock(static_cast<int>(port_.handle()), LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK) {
    return false;
  }
  // QSerialPort locks the name it was given; opened through a link, the device's own name needs
  // its lock too. Where no lock file can be made, the lock on the device still holds.
  const QString given = systemLocation(dev);
  const QString canonical = QFileInfo(given).canonicalFilePath();
  const QString path = canonical.isEmpty() ? QString() : lockFilePath(canonical);
  if (!path.isEmpty() && path != lockFilePath(given)) {
    auto lock = std::make_unique<QLockFile>(path);
    lock->setStaleLockTime(0);  // held for as long as the port is open, however long that is
    if (!lock->tryLock(0)) return lock->error() != QLockFile::LockFailedError;
    deviceLock_ = std::move(lock);
  }
#else
  Q_UNUSED(dev);
#endif
  return true;
}

void CommControl::releaseOwnership() { deviceLock_.reset(); }

rig::FailureKind CommControl::openFailureKind(QSerialPort::SerialPortError error,
                                              const QString& systemText) {
  if (isBusy(error, systemText)) return rig::FailureKind::Busy;
  switch (error) {
    case QSerialPort::PermissionError:
      return rig::FailureKind::Permission;
    case QSerialPort::DeviceNotFoundError:
      return rig::FailureKind::NoDevice;
    case QSerialPort::UnsupportedOperationError:
      return rig::FailureKind::NotSerialPort;
    default:
      return rig::FailureKind::Other;
  }
}

bool CommControl::isBusy(QSerialPort::SerialPortError error, const QString& systemText) {
  // QSerialPort reports a device locked or held by another program as a permission problem.
  return (error == QSerialPort::PermissionError || error == QSerialPort::ResourceError) &&
         (systemText.contains(QLatin1String("locking"), Qt::CaseInsensitive) ||
          systemText.contains(QLatin1String("busy"), Qt::CaseInsensitive));
}

QString CommControl::openFailureReason(QSerialPort::SerialPortError error,
                                       const QString& systemText, bool modemManagerRunning) {
  if (isBusy(error, systemText)) {
    QString reason = QStringLiteral("Device or resource busy (in use by another program)");
    if (modemManagerRunning) {
      reason += QStringLiteral(
          "; ModemManager is running and may be probing or holding the device: wait a few "
          "seconds and try again, or stop it with \"sudo systemctl stop ModemManager\"");
    }
    return reason;
  }
  switch (error) {
    case QSerialPort::PermissionError:
#ifdef Q_OS_LINUX
      if (systemText.contains(QLatin1String("Permission denied"))) {
        return systemText +
               QStringLiteral(
                   ": is your user in the dialout group? Add it with \"sudo usermod -aG dialout "
                   "$USER\", then log out and in again");
      }
#endif
      return systemText;
    case QSerialPort::UnsupportedOperationError:
      // The device opened but refused the line settings: a file, not a terminal.
      return QStringLiteral("not a serial port (%1)").arg(systemText);
    default:
      return systemText;
  }
}

void CommControl::output(std::string_view text) {
  if (!portOpen()) failClosed();
  if (text.empty()) return;

  qCDebug(lcSerial).noquote() << monotonicStamp() << describePort() << "sent" << escapeBytes(text);
#ifdef Q_OS_UNIX
  // With nothing of ours still queued, the bytes go to the driver in one call: an armed shot's
  // command is on its way at once (QSerialPort's own path first polls the port). What the driver
  // does not take, or an error, goes the usual way below, which tells the failure.
  if (port_.bytesToWrite() == 0) {
    const ssize_t written = ::write(port_.handle(), text.data(), text.size());
    if (written > 0) text.remove_prefix(static_cast<std::size_t>(written));
    if (text.empty()) return;
  }
#endif
  const auto size = static_cast<qint64>(text.size());
  const qint64 accepted = port_.write(text.data(), size);
  throwIfLost();
  if (accepted != size) {
    const QString reason = port_.errorString();
    port_.clear(QSerialPort::Output);
    fail(QStringLiteral("write failed: %1").arg(reason), rig::FailureKind::WriteFailed);
  }

  // QSerialPort keeps written bytes in its own buffer until an event loop or a wait hands them
  // to the driver; wait here so every byte is on its way when we return.
  const QDeadlineTimer deadline(kWriteLimitMs);
  while (port_.bytesToWrite() > 0) {
    if (deadline.hasExpired()) {
      const qint64 unsent = port_.bytesToWrite();
      // Drop the rest: a failed command must not trickle out later in front of the next one.
      port_.clear(QSerialPort::Output);
      port_.clearError();
      fail(QStringLiteral("write timed out: %1 of %2 bytes not sent within %3 s")
               .arg(unsent)
               .arg(size)
               .arg(kWriteLimitMs / 1000),
           rig::FailureKind::WriteFailed);
    }
    if (!port_.waitForBytesWritten(static_cast<int>(deadline.remainingTime())) &&
        port_.bytesToWrite() > 0 && port_.bytesAvailable() >= port_.readBufferSize()) {
      // With the receive buffer full and more bytes waiting on the line (a flood),
      // waitForBytesWritten() returns at once without writing: it stops at the incoming bytes it
      // has no room for. flush() hands the bytes to the driver without looking at the input.
      port_.flush();
      throwIfLost();
      if (port_.bytesToWrite() > 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    throwIfLost();
  }
  if (port_.error() == QSerialPort::TimeoutError) port_.clearError();
}

std::string CommControl::input() {
  if (!portOpen()) failClosed();

  // Take in what the system has received but QSerialPort has not read yet (no event loop may
  // have run since it arrived). Bounded by the receive buffer size.
  const qint64 before = port_.bytesAvailable();
  port_.waitForReadyRead(0);
  throwIfLost();
  if (port_.error() == QSerialPort::TimeoutError) port_.clearError();
  if (port_.bytesAvailable() > before) noteReceived();

  const QByteArray data = port_.readAll();
  if (!data.isEmpty()) {
    qCDebug(lcSerial).noquote() << monotonicStamp() << describePort() << "received"
                                << escapeBytes(std::string_view(data.constData(), data.size()));
  }
  return data.toStdString();
}

void CommControl::takeIn() {
  if (!portOpen()) return;
  // A failure met here is told later, between the service's jobs, or by the next input().
  const qint64 before = port_.bytesAvailable();
  port_.waitForReadyRead(0);
  if (port_.error() == QSerialPort::TimeoutError) port_.clearError();
  if (port_.bytesAvailable() > before) noteReceived();
}

rig::Clock::time_point CommControl::lastReceived() const { return lastReceived_; }

std::string CommControl::device() const { return map_.device(number_).toStdString(); }

void CommControl::fail(const QString& reason, rig::FailureKind kind) const {
  fail(number_, reason, kind);
}

void CommControl::failClosed() const {
  fail(closedReason(),
       lostReason_.isEmpty() ? rig::FailureKind::NotOpen : rig::FailureKind::DeviceGone);
}

QString CommControl::describePort() const {
  return QStringLiteral("port %1 (%2):").arg(number_).arg(map_.device(number_));
}

QString CommControl::escapeBytes(std::string_view bytes) {
  return QLatin1Char('"') + QString::fromStdString(rig::protocol::escaped(bytes, true)) +
         QLatin1Char('"');
}

void CommControl::fail(int port, const QString& reason, rig::FailureKind kind) const {
  const std::string dev = port == number_ ? device() : map_.device(port).toStdString();
  throw rig::SerialError(port, dev, reason.toStdString(), kind);
}

QString CommControl::closedReason() const {
  if (!lostReason_.isEmpty()) return QStringLiteral("the port was closed: %1").arg(lostReason_);
  return QStringLiteral("the port is not open");
}

void CommControl::onError(QSerialPort::SerialPortError error) {
  if (error == QSerialPort::NoError || error == QSerialPort::TimeoutError) return;
  // Only the first failure of an open port counts; once the device has failed, QSerialPort may
  // keep reporting errors until the port is closed.
  if (closing_ || !port_.isOpen() || !lostReason_.isEmpty()) return;

  const QString reason = describeFailure(error, port_.errorString());
  lostReason_ = reason;
  qCDebug(lcSerial).noquote() << monotonicStamp() << describePort() << "failed:" << reason;

  const QString message =
      QString::fromStdString(rig::SerialError(number_, device(), reason.toStdString()).what());
  const unsigned opening = openCount_;
  // QSerialPort goes on using its buffers after emitting the error, so closing it from inside
  // this signal is unsafe: the port is closed (and the loss announced) once control is back in
  // the event loop, or by the output()/input() call that ran into the error.
  QMetaObject::invokeMethod(
      this,
      [this, opening, message] {
        if (opening != openCount_) return;  // reopened since: that opening is long gone
        closeLostPort();
        emit linkLost(message);
        if (lossHandler_) lossHandler_(message.toStdString());
      },
      Qt::QueuedConnection);
}

void CommControl::closeLostPort() {
  if (lostReason_.isEmpty() || !port_.isOpen()) return;
  closing_ = true;
  port_.close();
  closing_ = false;
  port_.clearError();
  releaseOwnership();
}

void CommControl::throwIfLost() {
  if (lostReason_.isEmpty()) return;
  closeLostPort();
  failClosed();
}

void CommControl::setLossHandler(const LossHandler& handler) { lossHandler_ = handler; }

rig::PortList CommControl::refreshPorts() {
  rig::PortList list;
  if (!system_) {
    // The operator's list: each path is its own identity, there or not.
    for (const QString& device : map_.devices()) {
      rig::DeviceInfo info;
      info.path = device.toStdString();
      info.byPath = true;
#ifdef Q_OS_UNIX
      info.present = !device.isEmpty() && QFileInfo::exists(systemLocation(device));
#else
      info.present = !device.isEmpty();
#endif
      list.push_back(std::move(info));
    }
    return list;
  }

  const rig::PortList found = system_->devices();
  const auto lookUp = [&found](const QString& path) {
    for (const rig::DeviceInfo& info : found) {
      if (QString::fromStdString(info.path) == path) return info;
    }
    rig::DeviceInfo absent;
    absent.path = path.toStdString();
    absent.byPath = true;
    absent.present = false;
    return absent;
  };
#ifdef Q_OS_WIN
  // Port n is COMn: the list runs up to the highest COM number there is.
  int highest = 0;
  for (const rig::DeviceInfo& info : found) {
    const QString name = QString::fromStdString(info.path);
    if (name.startsWith(QLatin1String("COM"), Qt::CaseInsensitive)) {
      highest = std::max(highest, name.mid(3).toInt());
    }
  }
  for (int n = 1; n <= highest; ++n) list.push_back(lookUp(map_.device(n)));
#else
  // The numbering follows the devices, but not under an open port: it names that port's device.
  if (!port_.isOpen()) {
    QStringList paths;
    for (const rig::DeviceInfo& info : found) paths.append(QString::fromStdString(info.path));
    map_ = PortMap::ordered(paths);
  }
  for (const QString& device : map_.devices()) list.push_back(lookUp(device));
#endif
  return list;
}

void CommControl::watchDevices(const ChangeHandler& changed) {
  if (watcher_ == nullptr) {
    watcher_ = new DeviceWatcher(this);
    connect(watcher_, &DeviceWatcher::changed, this, [this] {
      if (changeHandler_) changeHandler_();
    });
  }
  changeHandler_ = changed;
  QStringList folders = SystemDevices().folders();
  if (system_) {
    folders = system_->folders();
  } else {
    for (const QString& device : map_.devices()) {
      if (!device.isEmpty()) folders.append(QFileInfo(device).absolutePath());
    }
  }
  watcher_->watch(folders);
}

void CommControl::stopWatching() {
  changeHandler_ = nullptr;
  if (watcher_ != nullptr) watcher_->stop();
}

void CommControl::noteReceived() { lastReceived_ = std::chrono::steady_clock::now(); }

}  // namespace serial
