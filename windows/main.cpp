#include <QApplication>
#include <QComboBox>
#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QStringList>
#include <cstdio>
#include <memory>

#include "Form1.h"
#include "Windows.h"
#include "serial/CommControl.h"
#include "serial/PortMap.h"

namespace {

const char* const kDescription =
    "Control panel for a two-relay camera rig (relay 0: main flash, relay 1: camera shutter)\n"
    "driven by a serial relay module.\n"
    "\n"
    "Port numbers: the port selector works with numbers 1, 2, 3, ...\n"
    "  On Windows, port n is COMn.\n"
    "  Elsewhere, with --ports DEV1,DEV2,... port n is the n-th device listed; an empty entry\n"
    "  leaves that number without a device (\"--ports ,/dev/ttyUSB0\": port 1 has none,\n"
    "  port 2 is /dev/ttyUSB0).\n"
    "  Without --ports, port n is the n-th serial device the system lists: USB devices\n"
    "  (ttyACM*, ttyUSB*) first, then the others, each group in name order.\n"
    "\n"
    "Nothing is sent on any port until \"Open Com Port\" is clicked.";

void describeOptions(QCommandLineParser& parser, const QCommandLineOption& ports) {
  parser.setApplicationDescription(QString::fromLatin1(kDescription));
  parser.addHelpOption();
  parser.addVersionOption();
  parser.addOption(ports);
}

}  // namespace

int main(int argc, char* argv[]) {
  QCoreApplication::setApplicationName(QStringLiteral("quillmar"));
  QCoreApplication::setApplicationVersion(QStringLiteral("1.4"));

  const QCommandLineOption portsOption(
      QStringLiteral("ports"),
      QStringLiteral("Maps port numbers to devices: port n is the n-th DEV (see above)."),
      QStringLiteral("DEV1,DEV2,..."));

  // --help and --version answer without a display.
  {
    QStringList arguments;
    for (int i = 0; i < argc; ++i) arguments << QString::fromLocal8Bit(argv[i]);
    QCommandLineParser early;
    describeOptions(early, portsOption);
    early.parse(arguments);
    if (early.isSet(QStringLiteral("help"))) {
      // Without an application object the parser cannot know the program's name.
      const QString help =
          early.helpText().replace(QStringLiteral("<executable_name>"), QStringLiteral("quillmar"));
      std::fputs(help.toLocal8Bit().constData(), stdout);
      return 0;
    }
    if (early.isSet(QStringLiteral("version"))) {
      std::printf("quillmar 1.4\n");
      return 0;
    }
  }

  QApplication app(argc, argv);

  QCommandLineParser parser;
  describeOptions(parser, portsOption);
  parser.process(app);

  const serial::PortMap map = parser.isSet(portsOption)
                                  ? serial::PortMap::fromList(parser.value(portsOption))
                                  : serial::PortMap::fromSystem();
  setSerialFactory([map] { return std::make_unique<serial::CommControl>(map); });

  Form1& window = form1();
  window.show();
  window.combo1()->setFocus();

  const int result = app.exec();
  destroyWindows();
  return result;
}
