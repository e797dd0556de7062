#include "WebOptions.h"

#include <QFileInfo>

namespace web {

namespace {

// [ADDRESS:]PORT, ADDRESS an IP address ("[::1]" for IPv6), into `settings`.
bool parseListen(const QString& text, WebSettings& settings, QString& error) {
  QString address;
  QString port = text;
  if (text.startsWith(QLatin1Char('['))) {
    const qsizetype close = text.indexOf(QStringLiteral("]:"));
    if (close < 0) {
      error = QStringLiteral("--web: an IPv6 address goes in brackets before its port: [::1]:8080");
      return false;
    }
    address = text.mid(1, close - 1);
    port = text.mid(close + 2);
  } else if (const qsizetype colon = text.lastIndexOf(QLatin1Char(':')); colon >= 0) {
    address = text.left(colon);
    port = text.mid(colon + 1);
    // "::1:80" could be a whole address or one with a port: brackets say which.
    if (address.contains(QLatin1Char(':'))) {
      error = QStringLiteral("--web: an IPv6 address goes in brackets before its port: [::1]:8080");
      return false;
    }
  }
  if (!address.isEmpty() && !settings.address.setAddress(address)) {
    error = QStringLiteral("--web: \"%1\" is no IP address (give 0.0.0.0 for every one)")
                .arg(address.left(80));
    return false;
  }
  bool ok = false;
  const int number = port.toInt(&ok);
  if (!ok || number < 0 || number > 65535 || port.startsWith(QLatin1Char('+'))) {
    error = QStringLiteral("--web wants [ADDRESS:]PORT, the port a number from 1 to 65535");
    return false;
  }
  settings.port = static_cast<quint16>(number);
  return true;
}

}  // namespace

bool WebOptions::extract(QStringList& arguments, QString& error) {
  QStringList rest;
  for (qsizetype i = 0; i < arguments.size(); ++i) {
    QString name = arguments.at(i);
    std::optional<QString> attached;
    if (const qsizetype equals = name.indexOf(QLatin1Char('='));
        name.startsWith(QStringLiteral("--")) && equals >= 0) {
      attached = name.mid(equals + 1);
      name.truncate(equals);
    }
    std::optional<QString>* target = nullptr;
    if (name == QStringLiteral("--web")) {
      target = &listen_;
    } else if (name == QStringLiteral("--web-token-file")) {
      target = &tokenFile_;
    } else {
      rest << arguments.at(i);
      continue;
    }
    if (attached) {
      *target = *attached;
    } else if (i + 1 < arguments.size()) {
      *target = arguments.at(++i);
    } else {
      error = QStringLiteral("%1 needs a value").arg(name);
      return false;
    }
  }
  arguments = rest;
  return true;
}

std::optional<WebSettings> WebOptions::settings(QString& error) const {
  if (!listen_) {
    if (tokenFile_) error = QStringLiteral("--web-token-file goes with --web [ADDRESS:]PORT");
    return std::nullopt;
  }
  WebSettings settings;
  if (!parseListen(*listen_, settings, error)) return std::nullopt;
  if (tokenFile_) {
    if (!QFileInfo(*tokenFile_).isReadable()) {
      error = QStringLiteral("--web-token-file: cannot read %1").arg(*tokenFile_);
      return std::nullopt;
    }
    settings.tokenFile = *tokenFile_;
  }
  return settings;
}

QString WebOptions::helpText() {
  return QStringLiteral(
      "Phone remote (the rig's buttons on a web page; off unless --web is given):\n"
      "  --web [ADDRESS:]PORT\n"
      "                serve the page and its API on PORT at ADDRESS (default 127.0.0.1;\n"
      "                give the studio LAN's address, or 0.0.0.0, for phones). The page's\n"
      "                URL, with its access token, is printed with a QR code at the start.\n"
      "  --web-token-file FILE\n"
      "                the access token is the first line of FILE (at least 22 letters,\n"
      "                digits, '-', '_', '.' or '~'), for a page that stays bookmarked;\n"
      "                otherwise a new random one is made at each start\n");
}

}  // namespace web
