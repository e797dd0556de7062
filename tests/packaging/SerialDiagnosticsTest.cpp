#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QLoggingCategory>
#include <QProcess>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>
#include <chrono>
#include <thread>

#include "serial/CommControl.h"
#include "support/ChildRole.h"
#include "support/Pty.h"

using namespace std::chrono_literals;
using serial::CommControl;
using serial::PortMap;

// The child process of the standard-error test: sends one command on DEVICE, waits for the
// answer, and exits. Its traffic log, if on, goes wherever Qt's default handler sends it.
int serialLogChild(const char* device) {
  CommControl serial{PortMap::fromList(QString::fromLocal8Bit(device))};
  try {
    serial.setPortOpen(true);
    serial.output("relay on 0\r");
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    while (serial.input().empty()) {
      if (std::chrono::steady_clock::now() > deadline) return 3;
      std::this_thread::sleep_for(5ms);
    }
  } catch (const std::exception& error) {
    std::fprintf(stderr, "child: %s\n", error.what());
    return 1;
  }
  return 0;
}

// The test program plays that child when started with "--serial-log-child DEVICE".
const ChildRole serialLogRole("--serial-log-child", serialLogChild);

namespace {

TEST(SerialLog, BytesAreEscapedOnOneQuotedLine) {
  EXPECT_EQ(CommControl::escapeBytes("relay read 0\r"), QStringLiteral("\"relay read 0\\r\""));
  EXPECT_EQ(CommControl::escapeBytes(std::string_view("\n\r>on\x00\x7f\xff", 8)),
            QStringLiteral("\"\\n\\r>on\\x00\\x7f\\xff\""));
  EXPECT_EQ(CommControl::escapeBytes("a\\b\"c\t"), QStringLiteral("\"a\\\\b\\\"c\\t\""));
  EXPECT_EQ(CommControl::escapeBytes(""), QStringLiteral("\"\""));
}

// Captures the messages of the serial category while alive.
class LogCapture {
 public:
  LogCapture() {
    lines().clear();
    previous_ = qInstallMessageHandler(
        [](QtMsgType, const QMessageLogContext& context, const QString& message) {
          if (QLatin1String(context.category) == QLatin1String("quillmar.serial"))
            lines() << message;
        });
  }
  ~LogCapture() {
    qInstallMessageHandler(previous_);
    QLoggingCategory::setFilterRules(QString());
  }
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;
  static QStringList& lines() {
    static QStringList captured;
    return captured;
  }

 private:
  QtMessageHandler previous_;
};

// Opens a port on a pseudo-terminal, sends a command and takes in an answer.
void exchange(Pty& pty) {
  CommControl serial{PortMap::fromList(QString::fromStdString(pty.slavePath()))};
  serial.setPortOpen(true);
  serial.output("relay read 1\r");
  ASSERT_EQ(pty.readMaster(1000ms, 13), "relay read 1\r");
  pty.writeMaster("\n\r>off\n\r>");
  std::string received;
  const auto deadline = std::chrono::steady_clock::now() + 2s;
  while (received.size() < 9 && std::chrono::steady_clock::now() < deadline) {
    received += serial.input();
    std::this_thread::sleep_for(2ms);
  }
  EXPECT_EQ(received, "\n\r>off\n\r>");
  serial.setPortOpen(false);
}

TEST(SerialLog, IsOffByDefault) {
  const LogCapture capture;
  Pty pty;
  exchange(pty);
  EXPECT_TRUE(LogCapture::lines().isEmpty()) << LogCapture::lines().join('\n').toStdString();
}

TEST(SerialLog, LogsEveryCommandAndReplyWithAMonotonicTimestamp) {
  const LogCapture capture;
  QLoggingCategory::setFilterRules(QStringLiteral("quillmar.serial.debug=true"));
  Pty pty;
  exchange(pty);
  const QStringList& lines = LogCapture::lines();
  const QString device = QString::fromStdString(pty.slavePath());

  const QString sent = QStringLiteral("port 1 (%1): sent \"relay read 1\\r\"").arg(device);
  const auto sentLine = std::find_if(lines.begin(), lines.end(),
                                     [&](const QString& line) { return line.endsWith(sent); });
  ASSERT_NE(sentLine, lines.end()) << lines.join('\n').toStdString();

  // Replies may arrive in more than one chunk; together they are the whole reply, in order.
  QString replies;
  double previous = 0;
  for (const QString& line : lines) {
    const double stamp = line.section(QLatin1Char(' '), 0, 0).toDouble();
    EXPECT_GT(stamp, 0.0) << line.toStdString();
    EXPECT_GE(stamp, previous) << line.toStdString();
    previous = stamp;
    const qsizetype at = line.indexOf(QLatin1String(": received \""));
    if (at >= 0) replies += line.mid(at + 12).chopped(1);
  }
  EXPECT_EQ(replies, QStringLiteral("\\n\\r>off\\n\\r>"));
  EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [](const QString& line) {
    return line.endsWith(QLatin1String("opened at 9600 8N1"));
  }));
}

// What a user sees: the standard rule in the environment, the log on standard error.
TEST(SerialLog, TheStandardRuleWritesItToStandardError) {
  for (const bool on : {true, false}) {
    Pty pty;
    QProcess child;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove(QStringLiteral("QT_LOGGING_RULES"));
    if (on)
      env.insert(QStringLiteral("QT_LOGGING_RULES"), QStringLiteral("quillmar.serial.debug=true"));
    child.setProcessEnvironment(env);
    child.start(QCoreApplication::applicationFilePath(),
                {QStringLiteral("--serial-log-child"), QString::fromStdString(pty.slavePath())});
    ASSERT_TRUE(child.waitForStarted());
    EXPECT_EQ(pty.readMaster(5000ms, 11), "relay on 0\r");
    pty.writeMaster("\n\r>");
    ASSERT_TRUE(child.waitForFinished(10000));
    EXPECT_EQ(child.exitCode(), 0);
    const QString err = QString::fromLocal8Bit(child.readAllStandardError());
    EXPECT_TRUE(child.readAllStandardOutput().isEmpty());
    if (on) {
      EXPECT_TRUE(err.contains(QLatin1String("quillmar.serial: ")) &&
                  err.contains(QLatin1String("sent \"relay on 0\\r\"")) &&
                  err.contains(QLatin1String("received \"\\n\\r>\"")))
          << err.toStdString();
    } else {
      EXPECT_TRUE(err.isEmpty()) << err.toStdString();
    }
  }
}

TEST(OpenFailureReason, NamesTheFixWhereThereIsAUsualOne) {
#ifdef Q_OS_LINUX
  const QString denied = CommControl::openFailureReason(QSerialPort::PermissionError,
                                                        QStringLiteral("Permission denied"), false);
  EXPECT_TRUE(denied.startsWith(QLatin1String("Permission denied"))) << denied.toStdString();
  EXPECT_TRUE(denied.contains(QLatin1String("dialout group")));
  EXPECT_TRUE(denied.contains(QLatin1String("sudo usermod -aG dialout $USER")));
  EXPECT_TRUE(denied.contains(QLatin1String("log out")));
#endif

  for (const char* text :
       {"Permission error while locking the device", "Device or resource busy"}) {
    const QString busy =
        CommControl::openFailureReason(QSerialPort::PermissionError, QLatin1String(text), false);
    EXPECT_TRUE(busy.contains(QLatin1String("busy"))) << busy.toStdString();
    EXPECT_FALSE(busy.contains(QLatin1String("ModemManager"))) << busy.toStdString();
    EXPECT_FALSE(busy.contains(QLatin1String("dialout"))) << busy.toStdString();
    const QString held =
        CommControl::openFailureReason(QSerialPort::PermissionError, QLatin1String(text), true);
    EXPECT_TRUE(held.contains(QLatin1String("ModemManager"))) << held.toStdString();
    EXPECT_TRUE(held.contains(QLatin1String("sudo systemctl stop ModemManager")));
  }

  // A running ModemManager is no explanation for other failures.
  const QString missing = CommControl::openFailureReason(
      QSerialPort::DeviceNotFoundError, QStringLiteral("No such file or directory"), true);
  EXPECT_EQ(missing, QStringLiteral("No such file or directory"));
  EXPECT_EQ(CommControl::openFailureReason(QSerialPort::UnsupportedOperationError,
                                           QStringLiteral("Inappropriate ioctl for device"), false),
            QStringLiteral("not a serial port (Inappropriate ioctl for device)"));
}

}  // namespace
