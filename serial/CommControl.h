#pragma once

#include <QObject>
#include <QSerialPort>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include "DeviceSource.h"
#include "PortMap.h"
#include "rig/SerialControl.h"

class QLockFile;

namespace serial {

class DeviceWatcher;

// The serial control over QSerialPort: port number, open flag, Output and Input, with the
// failures rig::SerialControl lists. Writes reach the line before output() returns; input()
// returns everything that has reached the machine at the moment of the call.
//
// When the device goes away (unplugged, the far end of a terminal closed) the port is closed on
// the first error and the loss is told once, by linkLost and the loss handler; later
// output()/input() fail with that reason.
// An open port is this program's alone, whatever path names the device: a second opener, through
// a link or the device node, ours or another program honouring the usual serial locks, is refused
// as busy.
class CommControl : public QObject, public rig::SerialControl {
  Q_OBJECT

 public:
  // Port numbers from a fixed list (--ports).
  explicit CommControl(PortMap map, QObject* parent = nullptr);
  // Port numbers from the system's devices, read afresh at each refreshPorts().
  explicit CommControl(std::shared_ptr<const DeviceSource> system, QObject* parent = nullptr);
  ~CommControl() override;

  // The control a program makes from its --ports option: that list when given, else the
  // system's devices.
  static std::unique_ptr<CommControl> fromOption(const std::optional<QString>& ports);

  int portNumber() const override;
  void setPortNumber(int number) override;
  bool portOpen() const override;
  void setPortOpen(bool open) override;
  void output(std::string_view text) override;
  std::string input() override;
  void takeIn() override;
  rig::Clock::time_point lastReceived() const override;
  std::string device() const override;
  void setLossHandler(const LossHandler& handler) override;
  rig::PortList refreshPorts() override;
  // Watches /dev, /dev/serial/by-id and the folders of a fixed list's devices.
  void watchDevices(const ChangeHandler& changed) override;
  void stopWatching() override;

  const PortMap& portMap() const { return map_; }

  // Why an opening failed, in words for the status box's tooltip: the system's text, with the
  // fix where there is a usual one (the dialout group on Linux; ModemManager holding a busy
  // device when it runs).
  static QString openFailureReason(QSerialPort::SerialPortError error, const QString& systemText,
                                   bool modemManagerRunning);
  // The bytes as one quoted line for the traffic log: \r, \n, \\, \" and \xNN for the other
  // bytes outside printable ASCII.
  static QString escapeBytes(std::string_view bytes);
  // Who holds `device` (a path, or a link to it) by the usual serial lock file under its given or
  // its own name: "quillmar (process 4242)". None when no live program other than this one
  // holds such a lock (a device held without one is not told).
  static std::optional<QString> holderOf(const QString& device);
  // Every device under /dev that a live program other than this one holds by a serial lock file,
  // with its holder as holderOf() says it: also the ports no list names (a pseudo-terminal given
  // to a panel by --ports).
  static std::vector<std::pair<QString, QString>> heldDevices();
  // The kind of an opening's failure, as QSerialPort reports it.
  static rig::FailureKind openFailureKind(QSerialPort::SerialPortError error,
                                          const QString& systemText);

 signals:
  // The open port failed on its own (device gone); `message` names port, device and reason.
  void linkLost(const QString& message);

 private:
  static bool isBusy(QSerialPort::SerialPortError error, const QString& systemText);
  // "port 1 (/dev/ttyUSB0):", the prefix of every traffic log line.
  QString describePort() const;
  [[noreturn]] void fail(const QString& reason,
                         rig::FailureKind kind = rig::FailureKind::Other) const;
  [[noreturn]] void fail(int port, const QString& reason,
                         rig::FailureKind kind = rig::FailureKind::Other) const;
  // Fails a use of the closed port: NotOpen, or DeviceGone when it was closed under us.
  [[noreturn]] void failClosed() const;
  // Why output()/input() cannot run now that the port is closed.
  QString closedReason() const;
  void onError(QSerialPort::SerialPortError error);
  // Closes a port whose device has failed; QSerialPort must not be closed from inside its own
  // error signal, so this runs after the call that reported the error has returned.
  void closeLostPort();
  // Throws when an error reported during the last QSerialPort call has closed the port.
  void throwIfLost();
  void noteReceived();
  // Takes the just opened device for this program alone; false when another opener has it.
  bool takeOwnership(const QString& dev);
  void releaseOwnership();

  PortMap map_;
  std::shared_ptr<const DeviceSource> system_;  // null: the map is a fixed list
  DeviceWatcher* watcher_ = nullptr;            // made on the first watch
  QSerialPort port_;
  int number_ = 1;
  QString lostReason_;      // why the port was closed under us, until the next opening
  bool closing_ = false;    // errors raised by our own close() are not a lost link
  unsigned openCount_ = 0;  // tells a late loss notice from one about the current opening
  rig::Clock::time_point lastReceived_{};
  // The lock file under the device's own name, when the port was opened by another name.
  std::unique_ptr<QLockFile> deviceLock_;
  LossHandler lossHandler_;
  ChangeHandler changeHandler_;
};

}  // namespace serial
