#pragma once

#include <QString>
#include <QStringList>
#include <functional>
#include <optional>

// The broker options both programs take (--mqtt, --rig, --mqtt-cafile, --mqtt-password-file,
// --ha-discovery) and the settings they make.
namespace bridge {

struct BrokerSettings {
  QString host;
  int port = 1883;
  bool tls = false;
  QString caFile;  // TLS: the authority to trust; empty for the system's own
  QString user;    // empty: no account
  QString password;
  QString rig;                      // the rig's name in the topics
  std::optional<QString> haPrefix;  // set: publish Home Assistant discovery under it
  bool haRemove = false;            // remove the rig's discovered entities instead
  QString url() const;              // the broker as given, without a password
};

// Environment variable that holds the broker password.
inline constexpr const char* kPasswordVariable = "QUILLMAR_MQTT_PASSWORD";

// Longest rig name taken.
inline constexpr qsizetype kMaxRigName = 64;

// Letters, digits, '-' and '_' only, at most kMaxRigName, and not "all" (the topic every rig
// listens on). Empty when valid, otherwise what is wrong.
QString rigNameProblem(const QString& name);

class BrokerOptions {
 public:
  // Takes the broker options out of `arguments` (the program name excluded) and leaves the
  // others in order. An argument for which `isOperand` is true is never taken as the optional
  // PREFIX of --ha-discovery. Returns false with `error` set on a malformed option.
  bool extract(QStringList& arguments, QString& error,
               const std::function<bool(const QString&)>& isOperand = {});

  // Whether --mqtt was given; without it the rig stays off the broker.
  bool enabled() const { return url_.has_value(); }

  // The settings: the URL parsed, the password read from the environment or the file, the rig
  // name checked or taken from the host name. `environmentPassword` is the variable's value
  // (null when unset). nullopt with `error` set when something is wrong; the password is never
  // part of an error.
  std::optional<BrokerSettings> settings(QString& error, const QString& environmentPassword,
                                         const QString& hostName) const;
  // The same with the process's environment and the machine's host name.
  std::optional<BrokerSettings> settings(QString& error) const;

  // Lines for --help.
  static QString helpText();

 private:
  std::optional<QString> url_;
  std::optional<QString> rig_;
  std::optional<QString> caFile_;
  std::optional<QString> passwordFile_;
  std::optional<QString> haPrefix_;
  bool haRemove_ = false;
};

}  // namespace bridge
