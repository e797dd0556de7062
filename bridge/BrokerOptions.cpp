#include "BrokerOptions.h"

#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSysInfo>
#include <QUrl>
#include <algorithm>
#include <optional>
#include <utility>

#include "args/Qt.h"

namespace bridge {

namespace {

constexpr int kPlainPort = 1883;
constexpr int kTlsPort = 8883;
// MQTT carries a password of at most 65535 bytes.
constexpr qint64 kMaxPasswordBytes = 65535;

const QString kDefaultHaPrefix = QStringLiteral("homeassistant");

bool isNameCharacter(QChar c) {
  return (c >= QLatin1Char('a') && c <= QLatin1Char('z')) ||
         (c >= QLatin1Char('A') && c <= QLatin1Char('Z')) ||
         (c >= QLatin1Char('0') && c <= QLatin1Char('9')) || c == QLatin1Char('-') ||
         c == QLatin1Char('_');
}

// A topic prefix: levels of name characters separated by single slashes.
bool isTopicPrefix(const QString& prefix) {
  if (prefix.isEmpty() || prefix.size() > kMaxRigName * 4) return false;
  const QStringList levels = prefix.split(QLatin1Char('/'));
  for (const QString& level : levels) {
    if (level.isEmpty() || !std::all_of(level.begin(), level.end(), isNameCharacter)) return false;
  }
  return true;
}

// mqtt://[USER@]HOST[:PORT] or mqtts://..., into `settings`; what is wrong with it, in the
// option's words, or none.
std::optional<QString> parseUrl(const QString& url, BrokerSettings& settings) {
  QString rest;
  if (url.startsWith(QStringLiteral("mqtt://"), Qt::CaseInsensitive)) {
    rest = url.mid(7);
  } else if (url.startsWith(QStringLiteral("mqtts://"), Qt::CaseInsensitive)) {
    rest = url.mid(8);
    settings.tls = true;
  } else {
    return QStringLiteral("--mqtt wants mqtt://[USER@]HOST[:PORT] or mqtts://[USER@]HOST[:PORT]");
  }
  if (rest.endsWith(QLatin1Char('/'))) rest.chop(1);

  const qsizetype at = rest.lastIndexOf(QLatin1Char('@'));
  if (at >= 0) {
    const QString user = rest.left(at);
    // The URL is never repeated here: it may hold a password.
    if (user.contains(QLatin1Char(':'))) {
      return QStringLiteral(
                 "--mqtt: no password in the URL (command lines are visible to every user); "
                 "put it in %1 or a file named by --mqtt-password-file")
          .arg(QLatin1String(kPasswordVariable));
    }
    settings.user = QUrl::fromPercentEncoding(user.toUtf8());
    if (settings.user.isEmpty()) {
      return QStringLiteral("--mqtt: empty user name before '@'");
    }
    rest = rest.mid(at + 1);
  }

  QString portText;
  if (rest.startsWith(QLatin1Char('['))) {  // [IPv6]:port
    const qsizetype close = rest.indexOf(QLatin1Char(']'));
    if (close < 0) {
      return QStringLiteral("--mqtt: unclosed '[' in the host");
    }
    settings.host = rest.mid(1, close - 1);
    const QString after = rest.mid(close + 1);
    if (!after.isEmpty()) {
      if (!after.startsWith(QLatin1Char(':'))) {
        return QStringLiteral("--mqtt: unexpected text after the host");
      }
      portText = after.mid(1);
      if (portText.isEmpty()) portText = QStringLiteral("?");
    }
  } else {
    const qsizetype colon = rest.lastIndexOf(QLatin1Char(':'));
    settings.host = colon < 0 ? rest : rest.left(colon);
    if (colon >= 0)
      portText = rest.mid(colon + 1).isEmpty() ? QStringLiteral("?") : rest.mid(colon + 1);
  }
  static const QRegularExpression badHost(QStringLiteral("[\\s/?#@\\[\\]\\x00-\\x1f\\x7f]"));
  if (settings.host.isEmpty() || settings.host.contains(badHost)) {
    return QStringLiteral("--mqtt: no valid host in the URL");
  }
  settings.port = settings.tls ? kTlsPort : kPlainPort;
  if (!portText.isEmpty()) {
    bool ok = false;
    const int port = portText.toInt(&ok);
    if (!ok || port < 1 || port > 65535 || portText.startsWith(QLatin1Char('+'))) {
      return QStringLiteral("--mqtt: the port must be a number from 1 to 65535");
    }
    settings.port = port;
  }
  return std::nullopt;
}

// The password on the first line of the file at `path`, into `password`; what is wrong with the
// file, in the option's words, or none.
std::optional<QString> readPasswordFile(const QString& path, QString& password) {
  QFile file(path);
  if (!file.open(QIODevice::ReadOnly)) {
    return QStringLiteral("--mqtt-password-file: cannot read %1: %2").arg(path, file.errorString());
  }
  const QByteArray content = file.read(kMaxPasswordBytes + 2);
  // The first line is the password; its line end is not part of it.
  QByteArray line =
      content.left(content.indexOf('\n') < 0 ? content.size() : content.indexOf('\n'));
  if (line.endsWith('\r')) line.chop(1);
  if (line.isEmpty()) {
    return QStringLiteral("--mqtt-password-file: %1 holds no password on its first line").arg(path);
  }
  if (line.size() > kMaxPasswordBytes) {
    return QStringLiteral("--mqtt-password-file: the password in %1 is longer than %2 bytes")
        .arg(path)
        .arg(kMaxPasswordBytes);
  }
  password = QString::fromUtf8(line);
  return std::nullopt;
}

}  // namespace

QString BrokerSettings::url() const {
  const QString hostPart =
      host.contains(QLatin1Char(':')) ? QStringLiteral("[%1]").arg(host) : host;
  return QStringLiteral("%1://%2%3:%4")
      .arg(tls ? QStringLiteral("mqtts") : QStringLiteral("mqtt"),
           user.isEmpty() ? QString() : user + QLatin1Char('@'), hostPart)
      .arg(port);
}

QString rigNameProblem(const QString& name) {
  if (name.isEmpty()) return QStringLiteral("a rig name cannot be empty");
  if (name.size() > kMaxRigName) {
    return QStringLiteral("a rig name has at most %1 characters").arg(kMaxRigName);
  }
  if (!std::all_of(name.begin(), name.end(), isNameCharacter)) {
    return QStringLiteral("a rig name is letters (a-z, A-Z), digits, '-' and '_' only");
  }
  if (name.compare(QStringLiteral("all"), Qt::CaseInsensitive) == 0) {
    return QStringLiteral("\"all\" names every rig and cannot be one rig's name");
  }
  return {};
}

service::Done BrokerOptions::extract(QStringList& arguments,
                                     const std::function<bool(const QString&)>& isOperand) {
  QStringList rest;
  args::Reader reader(args::fromQt(arguments));
  const auto refuse = [](const QString& why) { return service::Done::no(why); };
  while (reader.next()) {
    const std::string& name = reader.name();
    if (name == "--mqtt" || name == "--rig" || name == "--mqtt-cafile" ||
        name == "--mqtt-password-file") {
      const std::optional<std::string> value = reader.value();
      if (!value) return refuse(QString::fromStdString(reader.error()));
      (name == "--mqtt"          ? url_
       : name == "--rig"         ? rig_
       : name == "--mqtt-cafile" ? caFile_
                                 : passwordFile_) = QString::fromStdString(*value);
    } else if (name == "--mqtt-password") {
      return refuse(QStringLiteral("the broker password is never given on the command line: put "
                                   "it in %1 or a file named by --mqtt-password-file")
                        .arg(QLatin1String(kPasswordVariable)));
    } else if (name == "--ha-remove" && !reader.attached()) {
      haRemove_ = true;
    } else if (name == "--ha-discovery") {
      // The prefix is optional: attached with '=', or the next argument when it is no option.
      const std::optional<std::string> prefix = reader.optionalValue([&](const std::string& next) {
        const QString text = QString::fromStdString(next);
        return !text.startsWith(QLatin1Char('-')) && !(isOperand && isOperand(text));
      });
      haPrefix_ = prefix ? QString::fromStdString(*prefix) : kDefaultHaPrefix;
      if (!isTopicPrefix(*haPrefix_)) {
        return refuse(QStringLiteral("--ha-discovery wants a topic prefix of letters, digits, '-', "
                                     "'_' and '/' (default %1)")
                          .arg(kDefaultHaPrefix));
      }
    } else {
      rest << QString::fromStdString(reader.given());
    }
  }
  arguments = rest;
  return {};
}

service::Done BrokerOptions::settings(std::optional<BrokerSettings>& settings,
                                      const QString& environmentPassword,
                                      const QString& hostName) const {
  using service::Done;
  settings.reset();
  if (!url_) {
    if (rig_ || caFile_ || passwordFile_ || haPrefix_ || haRemove_) {
      return Done::no(
          QStringLiteral("--rig, --mqtt-cafile, --mqtt-password-file, --ha-discovery and "
                         "--ha-remove go with --mqtt URL"));
    }
    return {};
  }
  if (haRemove_ && !haPrefix_) {
    return Done::no(QStringLiteral("--ha-remove goes with --ha-discovery[=PREFIX]"));
  }
  BrokerSettings read;
  if (auto why = parseUrl(*url_, read)) return Done::no(std::move(*why));

  if (caFile_) {
    if (!read.tls) return Done::no(QStringLiteral("--mqtt-cafile goes with an mqtts:// URL"));
    if (!QFileInfo(*caFile_).isReadable()) {
      return Done::no(QStringLiteral("--mqtt-cafile: cannot read %1").arg(*caFile_));
    }
    read.caFile = *caFile_;
  }

  // The file is named on purpose; it wins over a variable left in the environment.
  if (passwordFile_) {
    if (auto why = readPasswordFile(*passwordFile_, read.password)) {
      return Done::no(std::move(*why));
    }
  } else if (!environmentPassword.isEmpty()) {
    read.password = environmentPassword;
  }
  if (!read.password.isEmpty() && read.user.isEmpty()) {
    return Done::no(QStringLiteral("a broker password needs a user name: mqtt://USER@HOST"));
  }

  if (rig_) {
    if (const QString problem = rigNameProblem(*rig_); !problem.isEmpty()) {
      return Done::no(QStringLiteral("--rig: %1").arg(problem));
    }
    read.rig = *rig_;
  } else {
    // The host name up to its first dot: "studio-3.example.org" is rig "studio-3".
    read.rig = hostName.section(QLatin1Char('.'), 0, 0);
    if (const QString problem = rigNameProblem(read.rig); !problem.isEmpty()) {
      return Done::no(QStringLiteral("the host name \"%1\" makes no rig name (%2): give --rig NAME")
                          .arg(hostName, problem));
    }
  }
  read.haPrefix = haPrefix_;
  read.haRemove = haRemove_;
  settings = std::move(read);
  return {};
}

service::Done BrokerOptions::settings(std::optional<BrokerSettings>& settings) const {
  return this->settings(settings, qEnvironmentVariable(kPasswordVariable),
                        QSysInfo::machineHostName());
}

QString BrokerOptions::helpText() {
  return QStringLiteral(
      "Broker (every rig on an MQTT broker; off unless --mqtt is given):\n"
      "  --mqtt URL    join the broker at mqtt://[USER@]HOST[:PORT] (port 1883), or\n"
      "                mqtts://[USER@]HOST[:PORT] for TLS (port 8883)\n"
      "  --rig NAME    the rig's name in the topics: letters, digits, '-' and '_'\n"
      "                (default: the host name up to its first dot)\n"
      "  --mqtt-cafile FILE\n"
      "                mqtts: trust the authority in FILE (default: the system's)\n"
      "  --mqtt-password-file FILE\n"
      "                the password is the first line of FILE; otherwise it is taken from\n"
      "                QUILLMAR_MQTT_PASSWORD. Never on the command line.\n"
      "  --ha-discovery[=PREFIX]\n"
      "                announce the rig's buttons to Home Assistant (prefix homeassistant)\n"
      "  --ha-remove   with --ha-discovery: remove the rig's entities from Home Assistant\n"
      "                instead (for a rig's old name after renaming it)\n"
      "Topics: quillmar/NAME/command and quillmar/all/command take a request or an action\n"
      "word (sequence, flash, shutter, status); answers go to quillmar/NAME/result, the\n"
      "state (retained) to quillmar/NAME/state.\n");
}

}  // namespace bridge
