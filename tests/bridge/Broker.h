#pragma once

#include <QProcess>
#include <QString>
#include <QTemporaryDir>

// A real mosquitto broker on 127.0.0.1, on a free port, with its own configuration in a
// temporary directory. Stopping and starting again keeps the port; nothing is persisted.
class Broker {
 public:
  // `accounts`: user -> password lines ("user:password"); with any, anonymous clients are refused.
  // `tls`: the listener speaks TLS with a certificate for 127.0.0.1 from an authority of its own,
  // whose certificate is caFile().
  explicit Broker(const QStringList& accounts = {}, bool tls = false);
  ~Broker();

  // Starts the broker and waits until it takes connections. False when it did not come up.
  bool start();
  void stop();

  int port() const { return port_; }
  QString url(const QString& user = {}) const;
  QString directory() const { return dir_.path(); }
  QString caFile() const { return dir_.filePath(QStringLiteral("ca.crt")); }
  // The broker's log so far, for failure messages.
  QString log() const;

 private:
  QTemporaryDir dir_;
  int port_ = 0;
  QProcess process_;
};

// Turns the Qt event loop until `condition` holds or `ms` pass. True when it held.
bool eventually(const std::function<bool()>& condition, int ms = 5000);
