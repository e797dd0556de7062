#include "WebOptions.h"

#include <QFile>
#include <QRegularExpression>
#include <optional>
#include <utility>

#include "args/Qt.h"

#ifndef _WIN32
#include "rig/RegularFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#endif

namespace web {

namespace {

// [ADDRESS:]PORT, ADDRESS an IP address ("[::1]" for IPv6), into `settings`; what is wrong with
// it, in the option's words, or none.
std::optional<QString> parseListen(const QString& text, WebSettings& settings) {
  QString address;
  QString port = text;
  if (text.startsWith(QLatin1Char('['))) {
    const qsizetype close = text.indexOf(QStringLiteral("]:"));
    if (close < 0) {
      return QStringLiteral("--web: an IPv6 address goes in brackets before its port: [::1]:8080");
    }
    address = text.mid(1, close - 1);
    port = text.mid(close + 2);
  } else if (const qsizetype colon = text.lastIndexOf(QLatin1Char(':')); colon >= 0) {
    address = text.left(colon);
    port = text.mid(colon + 1);
    // "::1:80" could be a whole address or one with a port: brackets say which.
    if (address.contains(QLatin1Char(':'))) {
      return QStringLiteral("--web: an IPv6 address goes in brackets before its port: [::1]:8080");
    }
  }
  if (!address.isEmpty() && !settings.address.setAddress(address)) {
    return QStringLiteral("--web: \"%1\" is no IP address (give 0.0.0.0 for every one)")
        .arg(address.left(80));
  }
  bool ok = false;
  const int number = port.toInt(&ok);
  if (!ok || number < 0 || number > 65535 || port.startsWith(QLatin1Char('+'))) {
    return QStringLiteral("--web wants [ADDRESS:]PORT, the port a number from 1 to 65535");
  }
  settings.port = static_cast<quint16>(number);
  return std::nullopt;
}

}  // namespace

service::Done WebOptions::extract(QStringList& arguments) {
  QStringList rest;
  args::Reader reader(args::fromQt(arguments));
  while (reader.next()) {
    const std::string& name = reader.name();
    if (name != "--web" && name != "--web-token-file") {
      rest << QString::fromStdString(reader.given());
      continue;
    }
    const std::optional<std::string> value = reader.value();
    if (!value) return service::Done::no(QString::fromStdString(reader.error()));
    (name == "--web" ? listen_ : tokenFile_) = QString::fromStdString(*value);
  }
  arguments = rest;
  return {};
}

service::Done WebOptions::settings(std::optional<WebSettings>& settings) const {
  settings.reset();
  if (!listen_) {
    if (tokenFile_) {
      return service::Done::no(QStringLiteral("--web-token-file goes with --web [ADDRESS:]PORT"));
    }
    return {};
  }
  WebSettings read;
  if (auto why = parseListen(*listen_, read)) return service::Done::no(std::move(*why));
  if (tokenFile_) read.tokenFile = *tokenFile_;
  settings = std::move(read);
  return {};
}

service::Done readTokenFile(const QString& path, QString& token) {
  const auto refuse = [&path](const QString& why) {
    return service::Done::no(QStringLiteral("--web-token-file: %1 %2").arg(path, why));
  };
  // A file longer than this holds more than a token.
  constexpr qint64 kMostBytes = kLongestToken + 2;
  QByteArray content;
#ifdef _WIN32
  QFile file(path);
  if (!file.open(QIODevice::ReadOnly)) return refuse(QStringLiteral(": ") + file.errorString());
  content = file.read(kMostBytes + 1);
#else
  // Opened without waiting, so a FIFO holds nothing up; its kind and mode are the opened file's.
  const QByteArray name = QFile::encodeName(path);
  const int fd = ::open(name.constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    return refuse(
        QStringLiteral("cannot be read: %1").arg(QString::fromLocal8Bit(std::strerror(errno))));
  }
  struct stat status {};
  const bool known = ::fstat(fd, &status) == 0;
  if (!known) {
    ::close(fd);
    return refuse(QStringLiteral("cannot be read"));
  }
  try {
    rig::mustBeRegular(status.st_mode);
  } catch (const rig::FileReadError& notAFile) {
    ::close(fd);
    return refuse(QString::fromStdString(notAFile.what()));
  }
  if ((status.st_mode & 077) != 0) {
    ::close(fd);
    return refuse(QStringLiteral("may be read or written by others than its owner (mode %1); "
                                 "the token is a password: chmod 600 %2")
                      .arg(status.st_mode & 0777, 4, 8, QLatin1Char('0'))
                      .arg(path));
  }
  content.resize(kMostBytes + 1);
  qsizetype filled = 0;
  for (long n = 0; filled < content.size() &&
                   (n = ::read(fd, content.data() + filled,
                               static_cast<std::size_t>(content.size() - filled))) > 0;) {
    filled += n;
  }
  ::close(fd);
  content.truncate(filled);
#endif
  if (content.endsWith('\n')) content.chop(1);
  if (content.endsWith('\r')) content.chop(1);
  if (content.contains('\n') || content.contains('\r')) {
    return refuse(QStringLiteral("holds more than one line; the token goes in it alone"));
  }
  static const QRegularExpression urlSafe(QStringLiteral("^[A-Za-z0-9._~-]*$"));
  const QString text = QString::fromLatin1(content);
  if (!urlSafe.match(text).hasMatch()) {
    return refuse(
        QStringLiteral("holds characters other than letters, digits, '-', '_', '.' or '~'"));
  }
  if (text.size() < kShortestToken || text.size() > kLongestToken) {
    return refuse(QStringLiteral("holds a token of %1 characters; it takes %2 to %3")
                      .arg(content.size() > kLongestToken
                               ? QStringLiteral("more than %1").arg(kLongestToken)
                               : QString::number(text.size()))
                      .arg(kShortestToken)
                      .arg(kLongestToken));
  }
  token = text;
  return {};
}

QString WebOptions::helpText() {
  return QStringLiteral(
      "Phone remote (the rig's buttons on a web page; off unless --web is given):\n"
      "  --web [ADDRESS:]PORT\n"
      "                serve the page and its API on PORT at ADDRESS (default 127.0.0.1;\n"
      "                give the studio LAN's address, or 0.0.0.0, for phones). The page's\n"
      "                URL, with its access token, is printed with a QR code at the start.\n"
      "  --web-token-file FILE\n"
      "                the access token is FILE's one line (22 to 1024 letters, digits,\n"
      "                '-', '_', '.' or '~'; the file readable by its owner alone:\n"
      "                chmod 600), for a page that stays bookmarked; otherwise a new\n"
      "                random one is made at each start\n");
}

}  // namespace web
