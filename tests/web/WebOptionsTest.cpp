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

TEST(WebOptions, TokenFromAFileOnlyWhenLongAndUrlSafe) {
  QTemporaryDir dir;
  auto tokenIn = [&dir](const QByteArray& content) {
    const QString path = dir.filePath(QStringLiteral("token"));
    QFile file(path);
    file.open(QIODevice::WriteOnly | QIODevice::Truncate);
    file.write(content);
    return path;
  };
  IdleHost host;
  auto start = [&host](const QString& path) {
    auto options = parse({"--web", "127.0.0.1:0", "--web-token-file", path});
    auto remote = std::make_unique<web::WebRemote>(host, *options.settings);
    return remote->listen() ? remote->token() : QString();
  };
  EXPECT_EQ(start(tokenIn("studio-token-0123456789abc\r\nsecond line\n")),
            QStringLiteral("studio-token-0123456789abc"));
  EXPECT_TRUE(start(tokenIn("short\n")).isEmpty());
  EXPECT_TRUE(start(tokenIn("studio token 0123456789 with spaces\n")).isEmpty());
  EXPECT_TRUE(start(tokenIn("")).isEmpty());

  // Without a file: a fresh token of 256 bits at each start.
  web::WebRemote first(host, web::WebSettings{});
  web::WebRemote second(host, web::WebSettings{});
  ASSERT_TRUE(first.listen() && second.listen());
  EXPECT_EQ(first.token().size(), 43);
  EXPECT_NE(first.token(), second.token());
  EXPECT_TRUE(first.url().endsWith(QStringLiteral("/?token=") + first.token()));
}
