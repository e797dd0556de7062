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

// Runs quillmar as a user would without a display: any attempt to open a window fails. An empty
// platform leaves QT_QPA_PLATFORM unset, as on most machines.
QProcessEnvironment withoutDisplay(const QString& platform) {
  QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
  env.remove(QStringLiteral("DISPLAY"));
  env.remove(QStringLiteral("WAYLAND_DISPLAY"));
  env.remove(QStringLiteral("QT_QPA_PLATFORM"));
  if (!platform.isEmpty()) env.insert(QStringLiteral("QT_QPA_PLATFORM"), platform);
  return env;
}

Outcome quillmar(const QStringList& arguments, const QString& platform = QStringLiteral("xcb")) {
  QProcess process;
  process.setProcessEnvironment(withoutDisplay(platform));
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

TEST(CommandLine, MistakesAreWordedExactlyWithTheUsageOrTheHint) {
  const QString usage = QStringLiteral(
      "Usage: quillmar [--ports DEV1,DEV2,...] [--name NAME] [--journal FILE]\n"
      "                [--board NAME] [--list-ports] [--mqtt URL ...] [--web [ADDRESS:]PORT ...]\n"
      "Try 'quillmar --help'.\n");
  const QString hint = QStringLiteral("Try 'quillmar --help'.\n");
  const struct {
    QStringList arguments;
    QString err;
  } cases[] = {
      {{QStringLiteral("--bogus")}, QStringLiteral("quillmar: Unknown option 'bogus'.\n") + usage},
      {{QStringLiteral("-x"), QStringLiteral("--y=1")},
       QStringLiteral("quillmar: Unknown options: x, y.\n") + usage},
      // A mistaken value wins over an unknown option, wherever each stands.
      {{QStringLiteral("--bogus"), QStringLiteral("--ports")},
       QStringLiteral("quillmar: Missing value after '--ports'.\n") + usage},
      {{QStringLiteral("-list-ports=1"), QStringLiteral("--bogus")},
       QStringLiteral("quillmar: Unexpected value after '-list-ports'.\n") + usage},
      {{QStringLiteral("--"), QStringLiteral("--list-ports")},
       QStringLiteral("quillmar: unexpected argument '--list-ports'\n") + usage},
      {{QStringLiteral("--web"), QStringLiteral("99999")},
       QStringLiteral("quillmar: --web wants [ADDRESS:]PORT, the port a number from 1 to 65535\n") +
           hint},
      {{QStringLiteral("--name="), QStringLiteral("--list-ports")},
       QStringLiteral("quillmar: --name wants 1 to 64 letters, digits, '.', '_' or '-'\n") + hint},
  };
  for (const auto& c : cases) {
    const Outcome run = quillmar(c.arguments);
    EXPECT_EQ(run.exitCode, 2) << c.arguments.join(' ').toStdString();
    EXPECT_EQ(run.err, c.err) << c.arguments.join(' ').toStdString();
    EXPECT_TRUE(run.out.isEmpty());
  }
  // --help and --version answer whatever else is wrong.
  EXPECT_EQ(quillmar({QStringLiteral("--bogus"), QStringLiteral("-v=1")}).exitCode, 0);
  const Outcome help = quillmar({QStringLiteral("--ports"), QStringLiteral("x"),
                                 QStringLiteral("stray"), QStringLiteral("-help")});
  EXPECT_EQ(help.exitCode, 0);
  EXPECT_TRUE(help.out.startsWith(QLatin1String("Usage: quillmar [options]\n")));
}

TEST(CommandLine, ABoardNameTheToolkitsOptionsLeaveBehindIsCheckedToo) {
  // The toolkit takes -reverse for itself: what is left names "--board" as the board.
  const Outcome run = quillmar({QStringLiteral("--board"), QStringLiteral("-reverse"),
                                QStringLiteral("--board"), QStringLiteral("text:/dev/null")},
                               QStringLiteral("offscreen"));
  EXPECT_EQ(run.exitCode, 2) << run.err.toStdString();
  EXPECT_TRUE(run.err.endsWith(
      QLatin1String("quillmar: --board wants KIND:IDENTITY, the kind one of text, text-id, "
                    "ch340, modbus or hid\nTry 'quillmar --help'.\n")))
      << run.err.toStdString();
}

TEST(CommandLine, StrayArgumentsAreRefusedWithTheUsage) {
  for (const QStringList& arguments :
       {QStringList{QStringLiteral("stray")},
        QStringList{QStringLiteral("--ports"), QStringLiteral("/dev/null"), QStringLiteral("1")},
        QStringList{QStringLiteral("-style"), QStringLiteral("fusion"), QStringLiteral("stray")}}) {
    const Outcome run = quillmar(arguments);
    EXPECT_EQ(run.exitCode, 2) << arguments.join(' ').toStdString();
    EXPECT_TRUE(run.err.contains(QLatin1String("Usage: quillmar"))) << run.err.toStdString();
    EXPECT_TRUE(run.err.contains(QStringLiteral("'%1'").arg(arguments.last())))
        << run.err.toStdString();
  }
  // A toolkit option's value is no stray argument.
  const Outcome listed = quillmar(
      {QStringLiteral("-platform"), QStringLiteral("offscreen"), QStringLiteral("--list-ports")});
  EXPECT_EQ(listed.exitCode, 0) << listed.err.toStdString();
}

TEST(CommandLine, WithoutADisplayOneLineSaysWhatToDo) {
  for (const QString& platform : {QString(), QStringLiteral("xcb")}) {
    const Outcome run = quillmar({}, platform);
    EXPECT_EQ(run.exitCode, 1) << run.err.toStdString();
    EXPECT_EQ(run.err.count(QLatin1Char('\n')), 1) << run.err.toStdString();
    EXPECT_TRUE(run.err.contains(QLatin1String("desktop session"))) << run.err.toStdString();
    EXPECT_TRUE(run.err.contains(QLatin1String("xvfb-run"))) << run.err.toStdString();
  }

  // A platform that needs no display is left to start the window.
  QProcess offscreen;
  offscreen.setProcessEnvironment(withoutDisplay({}));
  offscreen.start(QStringLiteral(QUILLMAR_PATH),
                  {QStringLiteral("-platform"), QStringLiteral("offscreen"),
                   QStringLiteral("--ports"), QStringLiteral("/dev/null")});
  ASSERT_TRUE(offscreen.waitForStarted());
  EXPECT_FALSE(offscreen.waitForFinished(1500)) << offscreen.readAllStandardError().toStdString();
  offscreen.kill();
  offscreen.waitForFinished();
}

}  // namespace
