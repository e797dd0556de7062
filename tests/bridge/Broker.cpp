#include "Broker.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QThread>
#include <functional>

namespace {

int freePort() {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  ::bind(fd, reinterpret_cast<sockaddr*>(&address), length);
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  ::close(fd);
  return ntohs(address.sin_port);
}

bool accepts(int port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  ::close(fd);
  return ok;
}

}  // namespace

bool eventually(const std::function<bool()>& condition, int ms) {
  QElapsedTimer elapsed;
  elapsed.start();
  while (!condition()) {
    if (elapsed.elapsed() > ms) return false;
    QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    QThread::msleep(1);
  }
  return true;
}

namespace {

// A certificate authority and a server certificate for 127.0.0.1 signed by it, made by openssl.
bool makeCertificates(const QTemporaryDir& dir) {
  const auto run = [&](const QStringList& arguments) {
    QProcess openssl;
    openssl.setWorkingDirectory(dir.path());
    openssl.start(QStringLiteral("openssl"), arguments);
    return openssl.waitForFinished(30000) && openssl.exitCode() == 0;
  };
  QFile extensions(dir.filePath(QStringLiteral("server.ext")));
  if (!extensions.open(QIODevice::WriteOnly)) return false;
  extensions.write("subjectAltName=IP:127.0.0.1\n");
  extensions.close();
  return run({"req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", "ca.key", "-out",
              "ca.crt", "-days", "2", "-subj", "/CN=Quillmar test authority"}) &&
         run({"req", "-newkey", "rsa:2048", "-nodes", "-keyout", "server.key", "-out", "server.csr",
              "-subj", "/CN=127.0.0.1"}) &&
         run({"x509", "-req", "-in", "server.csr", "-CA", "ca.crt", "-CAkey", "ca.key",
              "-CAcreateserial", "-out", "server.crt", "-days", "2", "-extfile", "server.ext"});
}

}  // namespace

Broker::Broker(const QStringList& accounts, bool tls) : port_(freePort()) {
  QString config = QStringLiteral(
                       "listener %1 127.0.0.1\n"
                       "persistence false\n"
                       "log_dest file %2/broker.log\n"
                       "log_type all\n")
                       .arg(port_)
                       .arg(dir_.path());
  // Run as root (the tests in CI), the broker would switch to a user that cannot read this dir.
  if (::geteuid() == 0) config += QStringLiteral("user root\n");
  if (tls && makeCertificates(dir_)) {
    config += QStringLiteral("certfile %1\nkeyfile %2\n")
                  .arg(dir_.filePath(QStringLiteral("server.crt")),
                       dir_.filePath(QStringLiteral("server.key")));
  }
  if (accounts.isEmpty()) {
    config += QStringLiteral("allow_anonymous true\n");
  } else {
    const QString passwords = dir_.filePath(QStringLiteral("passwords"));
    for (const QString& account : accounts) {
      const QStringList parts = account.split(QLatin1Char(':'));
      QStringList arguments{QStringLiteral("-b"), passwords, parts.at(0), parts.at(1)};
      if (!QFile::exists(passwords)) arguments.prepend(QStringLiteral("-c"));
      QProcess::execute(QStringLiteral(QUILLMAR_MOSQUITTO_PASSWD), arguments);
    }
    config += QStringLiteral("allow_anonymous false\npassword_file %1\n").arg(passwords);
  }
  QFile file(dir_.filePath(QStringLiteral("mosquitto.conf")));
  if (file.open(QIODevice::WriteOnly)) file.write(config.toUtf8());
}

Broker::~Broker() { stop(); }

bool Broker::start() {
  process_.setStandardErrorFile(dir_.filePath(QStringLiteral("broker.log")), QIODevice::Append);
  process_.start(QStringLiteral(QUILLMAR_MOSQUITTO),
                 {QStringLiteral("-c"), dir_.filePath(QStringLiteral("mosquitto.conf"))});
  if (!process_.waitForStarted(5000)) return false;
  QElapsedTimer elapsed;
  elapsed.start();
  while (!accepts(port_)) {
    if (elapsed.elapsed() > 5000 || process_.state() != QProcess::Running) return false;
    QThread::msleep(10);
  }
  return true;
}

void Broker::stop() {
  if (process_.state() == QProcess::NotRunning) return;
  process_.terminate();
  if (!process_.waitForFinished(5000)) {
    process_.kill();
    process_.waitForFinished(2000);
  }
}

QString Broker::url(const QString& user) const {
  return QStringLiteral("mqtt://") + (user.isEmpty() ? QString() : user + QLatin1Char('@')) +
         QStringLiteral("127.0.0.1:") + QString::number(port_);
}

QString Broker::log() const {
  QFile file(dir_.filePath(QStringLiteral("broker.log")));
  return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
}
