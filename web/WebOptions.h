#pragma once

#include <QHostAddress>
#include <QString>
#include <QStringList>
#include <optional>

#include "service/Done.h"

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
// '-', '_', '.' or '~'. Not done, with what is wrong, when it is anything else.
service::Done readTokenFile(const QString& path, QString& token);
// The same, what is wrong written into `error`: false when there is something.
inline bool readTokenFile(const QString& path, QString& token, QString& error) {
  const service::Done read = readTokenFile(path, token);
  if (!read) error = read.reason();
  return static_cast<bool>(read);
}

class WebOptions {
 public:
  // Takes --web and --web-token-file (with their values) out of `arguments` and leaves the
  // others in order. Not done when one lacks its value.
  service::Done extract(QStringList& arguments);
  // The settings into `settings`, left empty without --web; not done when something is wrong.
  service::Done settings(std::optional<WebSettings>& settings) const;

  // The same two, what is wrong written into `error`: false, or no settings, when there is
  // something.
  bool extract(QStringList& arguments, QString& error) {
    const service::Done extracted = extract(arguments);
    if (!extracted) error = extracted.reason();
    return static_cast<bool>(extracted);
  }
  std::optional<WebSettings> settings(QString& error) const {
    std::optional<WebSettings> made;
    if (const service::Done read = settings(made); !read) error = read.reason();
    return made;
  }
  // Lines for --help.
  static QString helpText();

 private:
  std::optional<QString> listen_;
  std::optional<QString> tokenFile_;
};

}  // namespace web
