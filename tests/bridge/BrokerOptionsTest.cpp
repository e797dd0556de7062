#include <gtest/gtest.h>

#include <QFile>
#include <QTemporaryDir>

#include "bridge/BrokerOptions.h"

using bridge::BrokerOptions;
using bridge::BrokerSettings;

namespace {

struct Outcome {
  std::optional<BrokerSettings> settings;
  QString error;
  QStringList rest;
};

Outcome parse(QStringList arguments, const QString& environment = {},
              const QString& host = QStringLiteral("studio-3.example.org")) {
  Outcome outcome;
  BrokerOptions options;
  if (options.extract(arguments, outcome.error,
                      [](const QString& word) { return word == QStringLiteral("serve"); })) {
    outcome.settings = options.settings(outcome.error, environment, host);
  }
  outcome.rest = arguments;
  return outcome;
}

QStringList mqtt(const QString& url) { return {QStringLiteral("--mqtt"), url}; }

}  // namespace

TEST(BrokerOptions, UrlsGiveHostPortAccountAndTls) {
  auto plain = parse(mqtt(QStringLiteral("mqtt://broker.lan")));
  ASSERT_TRUE(plain.settings) << plain.error.toStdString();
  EXPECT_EQ(plain.settings->host, QStringLiteral("broker.lan"));
  EXPECT_EQ(plain.settings->port, 1883);
  EXPECT_FALSE(plain.settings->tls);

  auto tls = parse(mqtt(QStringLiteral("mqtts://cam%40studio@broker.lan:9883/")));
  ASSERT_TRUE(tls.settings) << tls.error.toStdString();
  EXPECT_EQ(tls.settings->user, QStringLiteral("cam@studio"));
  EXPECT_EQ(tls.settings->port, 9883);
  EXPECT_TRUE(tls.settings->tls);
  EXPECT_EQ(parse(mqtt(QStringLiteral("MQTTS://h"))).settings->port, 8883);

  auto v6 = parse(mqtt(QStringLiteral("mqtt://[::1]:1884")));
  ASSERT_TRUE(v6.settings);
  EXPECT_EQ(v6.settings->host, QStringLiteral("::1"));
  EXPECT_EQ(v6.settings->url(), QStringLiteral("mqtt://[::1]:1884"));

  for (const char* bad : {"http://h", "mqtt://", "mqtt://h:0", "mqtt://h:65536", "mqtt://h:x",
                          "mqtt://h:", "mqtt://@h", "mqtt://h/path", "mqtt://[::1", "h:1883"}) {
    const auto outcome = parse(mqtt(QString::fromLatin1(bad)));
    EXPECT_FALSE(outcome.settings) << bad;
    EXPECT_FALSE(outcome.error.isEmpty()) << bad;
  }
}

TEST(BrokerOptions, PasswordNeverFromTheCommandLineNorRepeated) {
  const auto inUrl = parse(mqtt(QStringLiteral("mqtt://cam:s3cret@h")));
  EXPECT_FALSE(inUrl.settings);
  EXPECT_FALSE(inUrl.error.contains(QStringLiteral("s3cret")));
  EXPECT_TRUE(inUrl.error.contains(QStringLiteral("QUILLMAR_MQTT_PASSWORD")));

  const auto option = parse({QStringLiteral("--mqtt-password"), QStringLiteral("s3cret")});
  EXPECT_FALSE(option.settings);
  EXPECT_FALSE(option.error.contains(QStringLiteral("s3cret")));

  EXPECT_EQ(parse(mqtt(QStringLiteral("mqtt://cam@h")), QStringLiteral("env")).settings->password,
            QStringLiteral("env"));
  // A password without an account is refused rather than silently not sent.
  EXPECT_FALSE(parse(mqtt(QStringLiteral("mqtt://h")), QStringLiteral("env")).settings);

  QTemporaryDir dir;
  const QString path = dir.filePath(QStringLiteral("password"));
  QFile file(path);
  ASSERT_TRUE(file.open(QIODevice::WriteOnly));
  file.write("from file\r\nsecond line\n");
  file.close();
  const auto fromFile = parse(mqtt(QStringLiteral("mqtt://cam@h")) +
                                  QStringList{QStringLiteral("--mqtt-password-file"), path},
                              QStringLiteral("env"));
  ASSERT_TRUE(fromFile.settings) << fromFile.error.toStdString();
  EXPECT_EQ(fromFile.settings->password, QStringLiteral("from file"));

  ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
  file.write("\nsecret on the second line\n");
  file.close();
  const auto empty = parse(mqtt(QStringLiteral("mqtt://cam@h")) +
                           QStringList{QStringLiteral("--mqtt-password-file=") + path});
  EXPECT_FALSE(empty.settings);
  EXPECT_FALSE(empty.error.contains(QStringLiteral("secret")));
  EXPECT_FALSE(parse(mqtt(QStringLiteral("mqtt://cam@h")) +
                     QStringList{QStringLiteral("--mqtt-password-file"), dir.filePath("none")})
                   .settings);
}

TEST(BrokerOptions, RigNamesAndTheOtherOptions) {
  EXPECT_EQ(parse(mqtt(QStringLiteral("mqtt://h"))).settings->rig, QStringLiteral("studio-3"));
  EXPECT_FALSE(parse(mqtt(QStringLiteral("mqtt://h")), {}, QStringLiteral("my host")).settings);
  EXPECT_EQ(parse(mqtt(QStringLiteral("mqtt://h")) + QStringList{"--rig", "Cam_2-b"}).settings->rig,
            QStringLiteral("Cam_2-b"));
  for (const char* bad : {"", "a/b", "a+b", "#", "all", "ALL", "caméra", "a b"}) {
    EXPECT_FALSE(parse(mqtt(QStringLiteral("mqtt://h")) +
                       QStringList{QStringLiteral("--rig"), QString::fromUtf8(bad)})
                     .settings)
        << bad;
  }
  EXPECT_FALSE(parse(mqtt(QStringLiteral("mqtt://h")) +
                     QStringList{QStringLiteral("--rig"), QString(65, QLatin1Char('a'))})
                   .settings);

  // The others' arguments stay, in order; the discovery prefix never swallows a command.
  auto mixed = parse({"--port", "3", "--ha-discovery", "serve", "--mqtt=mqtt://h", "-q"});
  ASSERT_TRUE(mixed.settings) << mixed.error.toStdString();
  EXPECT_EQ(mixed.rest, (QStringList{"--port", "3", "serve", "-q"}));
  EXPECT_EQ(mixed.settings->haPrefix, QStringLiteral("homeassistant"));
  EXPECT_EQ(parse(mqtt("mqtt://h") + QStringList{"--ha-discovery", "ha/lab"}).settings->haPrefix,
            QStringLiteral("ha/lab"));
  EXPECT_FALSE(parse(mqtt("mqtt://h") + QStringList{"--ha-discovery=ha/+"}).settings);
  EXPECT_FALSE(parse(mqtt("mqtt://h")).settings->haPrefix);
  // Removing the entities needs the prefix they were announced under.
  EXPECT_TRUE(
      parse(mqtt("mqtt://h") + QStringList{"--ha-discovery", "--ha-remove"}).settings->haRemove);
  EXPECT_FALSE(parse(mqtt("mqtt://h") + QStringList{"--ha-remove"}).settings);

  EXPECT_FALSE(parse(mqtt("mqtt://h") + QStringList{"--mqtt-cafile", "/dev/null"}).settings);
  EXPECT_TRUE(parse(mqtt("mqtts://h") + QStringList{"--mqtt-cafile", "/dev/null"}).settings);
  EXPECT_FALSE(parse(mqtt("mqtts://h") + QStringList{"--mqtt-cafile", "/nonexistent"}).settings);

  // Broker options without --mqtt are a mistake; none at all is no broker.
  const auto alone = parse({"--rig", "cam"});
  EXPECT_FALSE(alone.settings);
  EXPECT_FALSE(alone.error.isEmpty());
  const auto none = parse({"flash"});
  EXPECT_FALSE(none.settings);
  EXPECT_TRUE(none.error.isEmpty());
  EXPECT_FALSE(parse({"--mqtt"}).settings);
}

// A reading that fails leaves no settings where the caller keeps them, not even earlier ones.
TEST(BrokerOptions, AFailedReadingLeavesNoSettingsBehind) {
  std::optional<BrokerSettings> settings = BrokerSettings{};
  BrokerOptions options;
  QStringList arguments = mqtt(QStringLiteral("mqtt://broker.lan"));
  ASSERT_TRUE(options.extract(arguments));
  const service::Done read = options.settings(settings, QStringLiteral("secret"), {});
  EXPECT_FALSE(read);
  EXPECT_FALSE(settings);
  EXPECT_EQ(read.reason().toStdString(), "a broker password needs a user name: mqtt://USER@HOST");
}
