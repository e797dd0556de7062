#include <gtest/gtest.h>

#include <QProcess>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>

namespace {

struct Outcome {
  int exitCode = -1;
  QString out;
  QString err;
};

// Runs quillmar as a user would without a display: any attempt to open a window fails.
Outcome quillmar(const QStringList& arguments) {
  QProcess process;
  QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
  env.remove(QStringLiteral("DISPLAY"));
  env.remove(QStringLiteral("WAYLAND_DISPLAY"));
  env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
  process.setProcessEnvironment(env);
  process.start(QStringLiteral(QUILLMAR_PATH), arguments);
  Outcome run;
  if (!process.waitForFinished(20000)) {
    process.kill();
    process.waitForFinished();
    return run;
  }
  run.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
  run.out = QString::fromLocal8Bit(process.readAllStandardOutput());
  run.err = QString::fromLocal8Bit(process.readAllStandardError());
  return run;
}

TEST(CommandLine, HelpAndVersionAnswerWithoutADisplay) {
  const Outcome help = quillmar({QStringLiteral("--help")});
  EXPECT_EQ(help.exitCode, 0) << help.err.toStdString();
  for (const char* part : {"--ports", "--list-ports", "--version", "COMn", "ttyUSB",
                           "quillmar.serial.debug=true", "Usage: quillmar"}) {
    EXPECT_TRUE(help.out.contains(QLatin1String(part))) << part << "\n" << help.out.toStdString();
  }

  const Outcome version = quillmar({QStringLiteral("--version")});
  EXPECT_EQ(version.exitCode, 0);
  EXPECT_EQ(version.out.trimmed(), QStringLiteral("quillmar " QUILLMAR_VERSION));
}

TEST(CommandLine, ListPortsShowsTheGivenMappingWithoutADisplay) {
  const Outcome run = quillmar({QStringLiteral("--list-ports"), QStringLiteral("--ports"),
                                QStringLiteral(",/dev/quillmar-no-such-device,/dev/null")});
  ASSERT_EQ(run.exitCode, 0) << run.err.toStdString();
  const QStringList lines = run.out.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
  ASSERT_EQ(lines.size(), 5) << run.out.toStdString();
  EXPECT_TRUE(lines.at(0).contains(QLatin1String("--ports")));
  EXPECT_TRUE(lines.at(1).startsWith(QLatin1String("Port")));
  EXPECT_TRUE(lines.at(2).startsWith(QLatin1String("1 ")));
  EXPECT_TRUE(lines.at(2).contains(QLatin1String("(no device)")));
  EXPECT_TRUE(lines.at(3).startsWith(QLatin1String("2 ")));
  EXPECT_TRUE(lines.at(3).contains(QLatin1String("/dev/quillmar-no-such-device")));
  EXPECT_TRUE(lines.at(3).contains(QLatin1String("(not present)")));
  EXPECT_TRUE(lines.at(4).startsWith(QLatin1String("3 ")));
  EXPECT_TRUE(lines.at(4).contains(QLatin1String("/dev/null")));

  // The system's own mapping lists too, whatever this machine has.
  const Outcome system = quillmar({QStringLiteral("--list-ports")});
  EXPECT_EQ(system.exitCode, 0) << system.err.toStdString();
  EXPECT_TRUE(system.out.startsWith(QLatin1String("Port numbers as the system lists")));
}

TEST(CommandLine, AMistypedOptionIsReportedWithoutADisplay) {
  const Outcome run = quillmar({QStringLiteral("--list-port")});
  EXPECT_EQ(run.exitCode, 2);
  EXPECT_TRUE(run.err.contains(QLatin1String("list-port"))) << run.err.toStdString();
  EXPECT_TRUE(run.out.isEmpty());
}

}  // namespace
