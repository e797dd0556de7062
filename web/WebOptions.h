#pragma once

#include <QHostAddress>
#include <QString>
#include <QStringList>
#include <optional>

// The phone remote's options both programs take (--web, --web-token-file) and the settings they
// make.
namespace web {

struct WebSettings {
  QHostAddress address = QHostAddress(QHostAddress::LocalHost);
  quint16 port = 0;   // 0: a free port, told in the URL printed
  QString tokenFile;  // empty: a new random token at each start
  QString token;      // the token read from tokenFile already; empty: read when listening
};

// A token read from a file: at least 128 bits' worth of URL-safe characters, and short enough to
// travel in a cookie and an address.
constexpr qsizetype kShortestToken = 22;
constexpr qsizetype kLongestToken = 1024;

// Reads the access token from `path`: a regular file that only its owner may read or write,
// holding one line (its line end optional) of kShortestToken to kLongestToken letters, digits,
// '-', '_', '.' or '~'. False, with `error` saying what is wrong, when it is anything else.
bool readTokenFile(const QString& path, QString& token, QString& error);

class WebOptions {
 public:
  // Takes --web and --web-token-file (with their values) out of `arguments` and leaves the
  // others in order. False with `error` set when one lacks its value.
  bool extract(QStringList& arguments, QString& error);
  // The settings, or nullopt without --web; nullopt with `error` set when something is wrong.
  std::optional<WebSettings> settings(QString& error) const;
  // Lines for --help.
  static QString helpText();

 private:
  std::optional<QString> listen_;
  std::optional<QString> tokenFile_;
};

}  // namespace web
