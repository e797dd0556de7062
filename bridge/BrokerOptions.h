#pragma once

#include <QString>
#include <QStringList>
#include <functional>
#include <optional>

#include "service/Done.h"

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
  // PREFIX of --ha-discovery. Not done on a malformed option.
  service::Done extract(QStringList& arguments,
                        const std::function<bool(const QString&)>& isOperand = {});
  // The same, what is wrong written into `error`: false when there is something.
  bool extract(QStringList& arguments, QString& error,
               const std::function<bool(const QString&)>& isOperand = {}) {
    const service::Done extracted = extract(arguments, isOperand);
    if (!extracted) error = extracted.reason();
    return static_cast<bool>(extracted);
  }

  // Whether --mqtt was given; without it the rig stays off the broker.
  bool enabled() const { return url_.has_value(); }

  // The settings into `settings`, left empty without --mqtt: the URL parsed, the password read
  // from the environment or the file, the rig name checked or taken from the host name.
  // `environmentPassword` is the variable's value (null when unset). Not done when something is
  // wrong; the password is never part of its reason.
  service::Done settings(std::optional<BrokerSettings>& settings,
                         const QString& environmentPassword, const QString& hostName) const;
  // The same with the process's environment and the machine's host name.
  service::Done settings(std::optional<BrokerSettings>& settings) const;
  // The settings, what is wrong written into `error`: none when there is something.
  std::optional<BrokerSettings> settings(QString& error, const QString& environmentPassword,
                                         const QString& hostName) const {
    std::optional<BrokerSettings> made;
    if (const service::Done read = settings(made, environmentPassword, hostName); !read) {
      error = read.reason();
    }
    return made;
  }

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
