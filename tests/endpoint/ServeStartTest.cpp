// serve's start and end as a service manager sees them: what it was given is checked before the
// module's line hears anything, and a journal whose reader stops reading never holds the end.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QFile>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QProcess>
#include <QTcpServer>
#include <QTemporaryDir>
#include <chrono>
#include <memory>
#include <string>

#include "EndpointClient.h"
#include "endpoint/LocalEndpoint.h"
#include "sim/RelayModule.h"

namespace {

using namespace std::chrono_literals;

// serve's exit status when something it was given cannot work.
constexpr int kExitConfiguration = 78;

class ServeStart : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(runtime.isValid());
    qputenv("XDG_RUNTIME_DIR", runtime.path().toLocal8Bit());
  }
  void TearDown() override {
    if (serve_) {
      serve_->terminate();
      serve_->waitForFinished(10000);
    }
    qunsetenv("XDG_RUNTIME_DIR");
  }

  void start(const QStringList& more) {
    serve_ = std::make_unique<QProcess>();
    serve_->start(QStringLiteral(QUILLMAR_CLI_PATH),
                  QStringList{QStringLiteral("serve"), QStringLiteral("--ports"),
                              QString::fromStdString(module.devicePath()), QStringLiteral("--port"),
                              QStringLiteral("1")} +
                      more);
    ASSERT_TRUE(serve_->waitForStarted(5000));
  }

  // A file of the scratch folder holding `content`, with `mode`.
  QString file(const QString& name, const QByteArray& content,
               QFile::Permissions mode = QFile::ReadOwner | QFile::WriteOwner) {
    const QString path = files.filePath(name);
    QFile out(path);
    out.open(QIODevice::WriteOnly | QIODevice::Truncate);
    out.write(content);
    out.setPermissions(mode);
    return path;
  }

  QString fifo(const QString& name) {
    const QString path = files.filePath(name);
    ::mkfifo(QFile::encodeName(path).constData(), 0600);
    return path;
  }

  QString address() const {
    return service::LocalEndpoint::address(
        QString::fromLatin1(service::LocalEndpoint::kDefaultName));
  }

  QTemporaryDir runtime;
  QTemporaryDir files;
  sim::RelayModule module;
  std::unique_ptr<QProcess> serve_;
};

TEST_F(ServeStart, EveryBadConfigurationIsToldAndTheLineHearsNothing) {
  QTcpServer taken;
  ASSERT_TRUE(taken.listen(QHostAddress::LocalHost));
  const QString good = file(QStringLiteral("token"), "studio-token-0123456789abc\n");
  const auto web = [](const QString& listen, const QString& token) {
    return QStringList{QStringLiteral("--web"), listen, QStringLiteral("--web-token-file"), token};
  };
  const QString anyPort = QStringLiteral("127.0.0.1:0");
  const struct {
    const char* what;
    QStringList arguments;
    const char* said;
  } rows[] = {
      {"web port taken", web(QStringLiteral("127.0.0.1:%1").arg(taken.serverPort()), good),
       "cannot listen"},
      {"short token", web(anyPort, file(QStringLiteral("short"), "short\n")), "of 5 characters"},
      {"2000-character token",
       web(anyPort, file(QStringLiteral("long"), QByteArray(2000, 'a') + '\n')), "more than 1024"},
      {"token file a folder", web(anyPort, files.path()), "is a directory, not a file"},
      {"token file /dev/null", web(anyPort, QStringLiteral("/dev/null")),
       "is a character device, not a file"},
      {"token file read by others",
       web(anyPort,
           file(QStringLiteral("open"), "studio-token-0123456789abc\n",
                QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup | QFile::ReadOther)),
       "chmod 600"},
      {"token file of two lines",
       web(anyPort, file(QStringLiteral("two"), "studio-token-0123456789abc\nmore\n")),
       "more than one line"},
      {"journal in no folder",
       {QStringLiteral("--journal"), files.filePath(QStringLiteral("none/shots.jsonl"))},
       "No such file"},
      {"journal a folder", {QStringLiteral("--journal"), files.path()}, "directory"},
      {"journal a FIFO nobody reads",
       {QStringLiteral("--journal"), fifo(QStringLiteral("journal.fifo"))},
       "nobody reads"},
  };
  for (const auto& row : rows) {
    start(row.arguments);
    ASSERT_TRUE(serve_->waitForFinished(10000)) << row.what;
    const QString err = QString::fromLocal8Bit(serve_->readAllStandardError());
    EXPECT_EQ(serve_->exitStatus(), QProcess::NormalExit) << row.what;
    EXPECT_EQ(serve_->exitCode(), kExitConfiguration) << row.what << ": " << err.toStdString();
    EXPECT_NE(err.indexOf(QLatin1String(row.said)), -1) << row.what << ": " << err.toStdString();
    serve_.reset();
  }
  // Whatever serve had sent would be in the log by now.
  EXPECT_FALSE(module.waitForCommands(1, 300ms));
  EXPECT_TRUE(module.log().empty());
}

TEST_F(ServeStart, ALongTokenFromItsFileIsTheOneThePageTakes) {
  const QByteArray token(1000, 't');
  start({QStringLiteral("--web"), QStringLiteral("127.0.0.1:0"), QStringLiteral("--web-token-file"),
         file(QStringLiteral("token"), token + '\n')});
  ASSERT_TRUE(module.waitForCommands(2, 5s));
  QString url;
  ASSERT_TRUE(spinUntil([&] {
    const QString err = QString::fromLocal8Bit(serve_->readAllStandardError());
    const qsizetype at = err.indexOf(QStringLiteral("phone remote: "));
    if (at >= 0) url = err.mid(at + 14).section(QLatin1Char('\n'), 0, 0);
    return !url.isEmpty();
  }));
  EXPECT_TRUE(url.endsWith(QString::fromLatin1(token)));
  QNetworkAccessManager network;
  QNetworkRequest request(QUrl(url.section(QStringLiteral("/?"), 0, 0) + "/api/state"));
  request.setRawHeader("Authorization", "Bearer " + token);
  std::unique_ptr<QNetworkReply> reply(network.get(request));
  ASSERT_TRUE(spinUntil([&] { return reply->isFinished(); }));
  EXPECT_EQ(reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt(), 200);
}

TEST_F(ServeStart, AJournalReaderThatStopsReadingDoesNotHoldTheEnd) {
  const QString path = fifo(QStringLiteral("journal.fifo"));
  // A reader that is there but never reads, with the smallest pipe there is.
  const int reader = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NONBLOCK);
  ASSERT_GE(reader, 0);
  ::fcntl(reader, F_SETPIPE_SZ, 4096);
  start({QStringLiteral("--journal"), path});
  ASSERT_TRUE(module.waitForCommands(2, 5s));
  ASSERT_TRUE(spinUntil([&] { return EndpointClient(address()).connected(); }));
  // Stops are journalled and answered at once: enough of them fill the pipe.
  EndpointClient client(address());
  constexpr int kStops = 200;
  for (int i = 0; i < kStops; ++i)
    client.send(R"({"action":"stop"})"
                "\n");
  ASSERT_EQ(client.take(kStops).size(), static_cast<std::size_t>(kStops));

  const std::size_t before = module.log().size();
  serve_->terminate();
  ASSERT_TRUE(serve_->waitForFinished(15000)) << "serve hangs on a journal nobody reads";
  const QString err = QString::fromLocal8Bit(serve_->readAllStandardError());
  EXPECT_EQ(serve_->exitCode(), 0) << err.toStdString();
  EXPECT_NE(err.indexOf(QStringLiteral("journal lines could not be written")), -1)
      << err.toStdString();
  EXPECT_NE(err.indexOf(QStringLiteral("relay 1 commanded off")), -1) << err.toStdString();
  ASSERT_TRUE(module.waitForCommands(before + 1, 2s));
  EXPECT_EQ(module.log().back().text, "relay off 1");
  ::close(reader);
  serve_.reset();
}

}  // namespace
