#include <gtest/gtest.h>

#include <QFile>
#include <QTemporaryDir>

#include "service/RigHost.h"
#include "web/WebOptions.h"
#include "web/WebRemote.h"

namespace {

struct Outcome {
  std::optional<web::WebSettings> settings;
  QString error;
  QStringList rest;
};

Outcome parse(QStringList arguments) {
  Outcome outcome;
  web::WebOptions options;
  if (options.extract(arguments, outcome.error)) outcome.settings = options.settings(outcome.error);
  outcome.rest = arguments;
  return outcome;
}

// A host that is never asked anything: the remote only starts here.
class IdleHost : public service::RigHost {
 public:
  void submit(const service::Request&, Done) override {}
  service::State state() const override { return {}; }
};

}  // namespace

TEST(WebOptions, AddressAndPortTakenOutOfTheArguments) {
  auto plain = parse({"serve", "--web", "8080", "--port", "1"});
  ASSERT_TRUE(plain.settings) << plain.error.toStdString();
  EXPECT_EQ(plain.settings->address, QHostAddress(QHostAddress::LocalHost));
  EXPECT_EQ(plain.settings->port, 8080);
  EXPECT_EQ(plain.rest, (QStringList{"serve", "--port", "1"}));

  auto every = parse({"--web=0.0.0.0:80"});
  ASSERT_TRUE(every.settings);
  EXPECT_EQ(every.settings->address, QHostAddress(QHostAddress::AnyIPv4));
  auto six = parse({"--web", "[::1]:9000"});
  ASSERT_TRUE(six.settings);
  EXPECT_EQ(six.settings->address, QHostAddress(QHostAddress::LocalHostIPv6));
  EXPECT_EQ(six.settings->port, 9000);

  EXPECT_FALSE(parse({"--serve"}).settings);
  EXPECT_TRUE(parse({"--serve"}).error.isEmpty());
  for (const QStringList& bad :
       {QStringList{"--web"}, QStringList{"--web", "studio.lan:80"}, QStringList{"--web", "70000"},
        QStringList{"--web", "+80"}, QStringList{"--web", "::1:80"},
        QStringList{"--web-token-file", "/etc/hostname"}}) {
    const Outcome outcome = parse(bad);
    EXPECT_FALSE(outcome.settings) << bad.join(' ').toStdString();
    EXPECT_FALSE(outcome.error.isEmpty()) << bad.join(' ').toStdString();
  }
}

TEST(WebOptions, TokenFromAFileOnlyWhenItIsTheOwnersOneLineLongAndUrlSafe) {
  QTemporaryDir dir;
  int made = 0;
  auto tokenIn = [&dir, &made](const QByteArray& content,
                               QFile::Permissions mode = QFile::ReadOwner | QFile::WriteOwner) {
    const QString path = dir.filePath(QStringLiteral("token%1").arg(++made));
    QFile file(path);
    file.open(QIODevice::WriteOnly | QIODevice::Truncate);
    file.write(content);
    file.setPermissions(mode);
    return path;
  };
  const QByteArray good = "studio-token-0123456789abc";
  const QByteArray longest(web::kLongestToken, 'a');
  const struct {
    QString path;
    QByteArray token;  // empty: refused
    const char* said;  // what the refusal names
  } rows[] = {
      {tokenIn(good + "\n"), good, ""},
      {tokenIn(good + "\r\n"), good, ""},
      {tokenIn(good), good, ""},
      {tokenIn(longest + "\n"), longest, ""},
      {tokenIn(QByteArray(2000, 'a') + "\n"), {}, "more than 1024"},
      {tokenIn("short\n"), {}, "of 5 characters"},
      {tokenIn(""), {}, "of 0 characters"},
      {tokenIn("studio token 0123456789 with spaces\n"), {}, "other than"},
      {tokenIn(good + "\nsecond line\n"), {}, "more than one line"},
      {tokenIn(good + "\n", QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup),
       {},
       "mode 0640"},
      {tokenIn(good + "\n", QFile::ReadOwner | QFile::ReadOther), {}, "chmod 600"},
      {dir.path(), {}, "is a directory, not a file"},
      {QStringLiteral("/dev/null"), {}, "is a character device, not a file"},
      {dir.filePath(QStringLiteral("missing")), {}, "cannot be read"},
  };
  IdleHost host;
  for (const auto& row : rows) {
    QString token;
    QString error;
    const bool read = web::readTokenFile(row.path, token, error);
    EXPECT_EQ(read, !row.token.isEmpty()) << row.path.toStdString() << error.toStdString();
    EXPECT_EQ(token.toLatin1(), row.token) << row.path.toStdString();
    EXPECT_NE(error.indexOf(QLatin1String(row.said)), -1) << error.toStdString();
    // The remote listens with the file's token, or not at all.
    auto options = parse({"--web", "127.0.0.1:0", "--web-token-file", row.path});
    ASSERT_TRUE(options.settings) << options.error.toStdString();
    web::WebRemote remote(host, *options.settings);
    EXPECT_EQ(remote.listen(), read) << row.path.toStdString();
    EXPECT_EQ(remote.token().toLatin1(), row.token);
  }

  // Without a file: a fresh token of 256 bits at each start.
  web::WebRemote first(host, web::WebSettings{});
  web::WebRemote second(host, web::WebSettings{});
  ASSERT_TRUE(first.listen() && second.listen());
  EXPECT_EQ(first.token().size(), 43);
  EXPECT_NE(first.token(), second.token());
  EXPECT_TRUE(first.url().endsWith(QStringLiteral("/?token=") + first.token()));
}

// The settings go where the caller says: a reading that fails leaves nothing there, not even what
// an earlier reading put, so no settings that failed their checks are ever served.
TEST(WebOptions, AFailedReadingLeavesNoSettingsBehind) {
  std::optional<web::WebSettings> settings = web::WebSettings{};
  web::WebOptions options;
  QStringList arguments{"--web", "[::1]8080"};
  ASSERT_TRUE(options.extract(arguments));
  const service::Done read = options.settings(settings);
  EXPECT_FALSE(read);
  EXPECT_FALSE(settings);
  EXPECT_EQ(read.reason().toStdString(),
            "--web: an IPv6 address goes in brackets before its port: [::1]:8080");
}
