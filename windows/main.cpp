#include <QApplication>
#include <QComboBox>
#include <QCoreApplication>
#include <QFileInfo>
#include <QLineEdit>
#include <QRegularExpression>
#include <QSerialPortInfo>
#include <QSessionManager>
#include <QStringList>
#include <QTextStream>
#include <algorithm>
#include <csignal>
#include <cstdio>
#include <memory>
#include <optional>
#include <vector>

#include "CursorRest.h"
#include "Form1.h"
#include "PanelOptions.h"
#include "RemoteControl.h"
#include "RigWindow.h"
#include "Windows.h"
#include "boards/Catalog.h"
#include "bridge/Bridge.h"
#include "bridge/BrokerOptions.h"
#include "endpoint/LocalEndpoint.h"
#include "rig/Board.h"
#include "rig/SystemClock.h"
#include "rigfile/RigFile.h"
#include "serial/CommControl.h"
#include "serial/PortMap.h"
#include "service/Done.h"
#include "session/Session.h"
#include "web/WebRemote.h"

#ifndef QUILLMAR_VERSION
#error "QUILLMAR_VERSION must be defined by the build (the project's version)"
#endif

namespace {

// The X11 platform, which Qt picks when none is named, needs a display; Wayland needs its own.
// Any other platform named (offscreen, vnc, ...) is left to Qt.
bool displayMissing(const windows::PanelOptions& early) {
#if defined(Q_OS_UNIX) && !defined(Q_OS_DARWIN) && !defined(Q_OS_ANDROID)
  const QString platform = early.platform.value_or(qEnvironmentVariable("QT_QPA_PLATFORM"));
  const bool x11 = !qEnvironmentVariableIsEmpty("DISPLAY") || early.display;
  if (platform.isEmpty()) return !x11 && qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY");
  return platform.startsWith(QLatin1String("xcb")) && !x11;
#else
  Q_UNUSED(early);
  return false;
#endif
}

// --board NAME: the board it names; none, said with the usage's hint, for a name of no board.
std::optional<rig::BoardName> boardNamed(const QString& name) {
  std::optional<rig::BoardName> board = rig::parseBoardName(name.toStdString());
  if (!board) {
    std::fprintf(stderr,
                 "quillmar: --board wants KIND:IDENTITY, the kind one of text, text-id, ch340, "
                 "modbus or hid\nTry 'quillmar --help'.\n");
  }
  return board;
}

serial::PortMap portMap(const windows::PanelOptions& options) {
  return options.ports ? serial::PortMap::fromList(*options.ports) : serial::PortMap::fromSystem();
}

// The system's description of a device, found by its path or name, following symbolic links
// such as /dev/serial/by-id/...
std::optional<QSerialPortInfo> findPort(const QList<QSerialPortInfo>& ports,
                                        const QString& device) {
  const QString canonical = QFileInfo(device).canonicalFilePath();
  for (const QSerialPortInfo& info : ports) {
    if (info.systemLocation() == device || info.portName() == device ||
        (!canonical.isEmpty() && info.systemLocation() == canonical)) {
      return info;
    }
  }
  return std::nullopt;
}

// --list-ports: one line per port number, with what the system says about its device.
int listPorts(const serial::PortMap& map, bool fromOption) {
  const QList<QSerialPortInfo> available = QSerialPortInfo::availablePorts();
  struct Row {
    int number;
    QString device;
  };
  std::vector<Row> rows;
  if (!map.devices().isEmpty() || fromOption) {
    for (qsizetype i = 0; i < map.devices().size(); ++i) {
      rows.push_back({static_cast<int>(i + 1), map.devices().at(i)});
    }
  } else {
    // Port n is COMn: list the COM ports the system has, by number.
    static const QRegularExpression comName(QStringLiteral("^COM([0-9]+)$"),
                                            QRegularExpression::CaseInsensitiveOption);
    for (const QSerialPortInfo& info : available) {
      const QRegularExpressionMatch match = comName.match(info.portName());
      if (match.hasMatch()) rows.push_back({match.captured(1).toInt(), info.portName()});
    }
    std::sort(rows.begin(), rows.end(),
              [](const Row& a, const Row& b) { return a.number < b.number; });
  }

  QTextStream out(stdout);
  out << (fromOption ? "Port numbers as given by --ports:\n"
                     : "Port numbers as the system lists its serial devices now:\n");
  if (rows.empty()) {
    out << "  (no serial devices)\n";
    return 0;
  }
  out << QStringLiteral("%1  %2  %3  %4\n")
             .arg(QStringLiteral("Port"), -4)
             .arg(QStringLiteral("Device"), -20)
             .arg(QStringLiteral("Description"), -32)
             .arg(QStringLiteral("Serial number"));
  for (const Row& row : rows) {
    QString description;
    QString serialNumber;
    if (row.device.isEmpty()) {
      description = QStringLiteral("(no device)");
    } else if (const auto info = findPort(available, row.device)) {
      description = info->description();
      if (!info->manufacturer().isEmpty() && !description.contains(info->manufacturer())) {
        description += QStringLiteral(" (%1)").arg(info->manufacturer());
      }
      if (info->hasVendorIdentifier() && info->hasProductIdentifier()) {
        description += QStringLiteral(" [%1:%2]")
                           .arg(info->vendorIdentifier(), 4, 16, QLatin1Char('0'))
                           .arg(info->productIdentifier(), 4, 16, QLatin1Char('0'));
      }
      serialNumber = info->serialNumber();
    } else if (!QFileInfo::exists(row.device)) {
      description = QStringLiteral("(not present)");
    }
    out << QStringLiteral("%1  %2  %3  %4")
               .arg(row.number, -4)
               .arg(row.device.isEmpty() ? QStringLiteral("-") : row.device, -20)
               .arg(description.isEmpty() ? QStringLiteral("-") : description, -32)
               .arg(serialNumber.isEmpty() ? QStringLiteral("-") : serialNumber)
               .trimmed()
        << '\n';
  }
  return 0;
}

}  // namespace

int main(int argc, char* argv[]) {
  QCoreApplication::setApplicationName(QStringLiteral("quillmar"));
  QCoreApplication::setApplicationVersion(QStringLiteral(QUILLMAR_VERSION));

  std::optional<bridge::BrokerSettings> broker;
  // Read before QApplication exists: the X11 platform takes "-name" (and "--name") for itself.
  QString endpointName;
  std::optional<rig::RigDescription> described;  // --rig-file
  std::optional<web::WebSettings> webSettings;

  // --help, --version, --list-ports and mistyped options are answered without a display.
  {
    QStringList arguments;
    for (int i = 1; i < argc; ++i) arguments << QString::fromLocal8Bit(argv[i]);
    // The broker options first; the rest is the panel's own.
    bridge::BrokerOptions brokerOptions;
    service::Done brokerRead = brokerOptions.extract(arguments);
    if (brokerRead) brokerRead = brokerOptions.settings(broker);
    const QString brokerError = brokerRead.reason();
    web::WebOptions webOptions;
    service::Done webRead = webOptions.extract(arguments);
    if (webRead) webRead = webOptions.settings(webSettings);
    const QString webError = webRead.reason();
    const windows::PanelOptions early =
        windows::readPanelOptions(arguments, windows::OptionsStage::BeforeToolkit);
    if (early.help) {
      const QString help = windows::panelHelp() + QLatin1Char('\n') +
                           bridge::BrokerOptions::helpText() + QLatin1Char('\n') +
                           web::WebOptions::helpText();
      std::fputs(help.toLocal8Bit().constData(), stdout);
      return 0;
    }
    if (early.version) {
      std::printf("quillmar %s\n", QUILLMAR_VERSION);
      return 0;
    }
    if (!early.error.isEmpty() || early.stray) {
      const QString error = early.error.isEmpty()
                                ? QStringLiteral("unexpected argument '%1'").arg(*early.stray)
                                : early.error;
      std::fprintf(
          stderr,
          "quillmar: %s\nUsage: quillmar [--ports DEV1,DEV2,...] [--name NAME] [--journal FILE]\n"
          "                [--board NAME] [--list-ports] [--mqtt URL ...] [--web [ADDRESS:]PORT "
          "...]\n"
          "Try 'quillmar --help'.\n",
          error.toLocal8Bit().constData());
      return 2;
    }
    for (const QString& error : {brokerError, webError}) {
      if (error.isEmpty()) continue;
      std::fprintf(stderr, "quillmar: %s\nTry 'quillmar --help'.\n",
                   error.toLocal8Bit().constData());
      return 2;
    }
    endpointName = early.name.value_or(QString::fromLatin1(service::LocalEndpoint::kDefaultName));
    if (!service::LocalEndpoint::validName(endpointName)) {
      std::fprintf(stderr,
                   "quillmar: --name wants 1 to 64 letters, digits, '.', '_' or '-'\n"
                   "Try 'quillmar --help'.\n");
      return 2;
    }
    if (early.board && !boardNamed(*early.board)) return 2;
    if (early.board && early.rigFile) {
      std::fprintf(stderr,
                   "quillmar: give --rig-file or --board, not both\n"
                   "Try 'quillmar --help'.\n");
      return 2;
    }
    if (early.rigFile) {
      // A rig file that cannot be used stops the start before any window opens.
      try {
        described = rigfile::read(early.rigFile->toStdString());
      } catch (const rigfile::RigFileError& error) {
        std::fprintf(stderr, "quillmar: %s\n", error.what());
        return 78;
      }
    }
    if (early.listPorts) {
      const QCoreApplication app(argc, argv);
      return listPorts(portMap(early), early.ports.has_value());
    }
    if (displayMissing(early)) {
      std::fputs(
          "quillmar: no display to open the window on (DISPLAY is not set); run it in a "
          "desktop session, or under xvfb-run: xvfb-run -a quillmar\n",
          stderr);
      return 1;
    }
  }

  QApplication app(argc, argv);

  // Read again from what the toolkit left of the arguments, the broker's and the phone remote's
  // options taken out as above.
  QStringList arguments = app.arguments();
  const QString program = arguments.isEmpty() ? QString() : arguments.takeFirst();
  // Their mistakes were told above.
  static_cast<void>(bridge::BrokerOptions().extract(arguments));
  static_cast<void>(web::WebOptions().extract(arguments));
  const windows::PanelOptions options =
      windows::readPanelOptions(arguments, windows::OptionsStage::AfterToolkit);
  if (!options.error.isEmpty()) {
    std::fprintf(stderr, "quillmar: %s\n", options.error.toLocal8Bit().constData());
    return 1;
  }
  if (options.version) {
    std::printf("quillmar %s\n", QUILLMAR_VERSION);
    return 0;
  }
  if (options.help || options.helpAll) windows::showHelp(program, options.helpAll);
  // What the toolkit took may have left another board's name than the one checked above.
  std::optional<rig::BoardName> board;
  if (options.board && !(board = boardNamed(*options.board))) return 2;

  // Without --ports the system's devices are read afresh at each opening, not once here.
  const std::optional<QString> ports = options.ports;
  service::Session session([ports] { return serial::CommControl::fromOption(ports); });
  if (board) session.service().useBoard(*board, boards::Catalog::systemSource(ports));
  if (described) session.service().useRig(*described, boards::Catalog::systemSource(ports));
  // As serve starts, but a socket's name or a port that is taken only leaves that channel off:
  // the window works without it and says so.
  service::SessionSettings settings;
  if (options.journal) settings.journal = *options.journal;
  settings.name = endpointName;
  if (webSettings) settings.channels.push_back(web::WebRemote::channel(*webSettings));
  if (broker) settings.channels.push_back(bridge::Bridge::channel(*broker));
  const std::vector<service::StartFailure> failures = session.start(settings, true);
  service::Done listening;
  for (const service::StartFailure& failure : failures) {
    switch (failure.step) {
      case service::StartFailure::Step::Journal:
        std::fprintf(stderr, "quillmar: %s\n", failure.text().toLocal8Bit().constData());
        return 2;
      case service::StartFailure::Step::Endpoint:
        listening = service::Done::no(failure.error);
        break;
      case service::StartFailure::Step::Channel:
        std::fprintf(stderr, "quillmar: %s is off: %s\n", failure.what.toLocal8Bit().constData(),
                     failure.error.toLocal8Bit().constData());
        break;
    }
  }
  setSession(&session);

  Form1& window = form1();
  const windows::CursorRest cursorRest;
  window.show();
  window.combo1()->setFocus();
  showRemoteControl(window, listening);
  // A rig file's rig also shows in a window of its own, which goes when the main window goes.
  std::unique_ptr<RigWindow> rigWindow;
  if (described) {
    rigWindow = std::make_unique<RigWindow>(
        session.service(), *described, QFileInfo(options.rigFile.value_or(QString())).fileName());
    QObject::connect(&window, &QObject::destroyed, rigWindow.get(), &QWidget::close);
    rigWindow->show();
  }

  // A signal (kill, a shutdown, the terminal's hang-up) or the desktop's logout ends the panel as
  // serve ends: the running action stopped soundly, queued requests answered "not run", relay 1
  // (a rig file's cameras) commanded off. Closing the window is not that: it lets the running
  // action end as it would.
  rig::SystemClock::stopOnSignals();
  QObject::connect(&app, &QGuiApplication::commitDataRequest,
                   [](QSessionManager&) { rig::SystemClock::requestStop(0); });
  session.watchForStop([&session](int signal) {
    session.end();
    // A stop without a signal is the desktop session's end. The words say what was commanded
    // off (relay 1, a rig file's cameras) or why nothing could be.
    std::fprintf(stderr, "quillmar: stopping on %s: %s\n",
                 signal > 0 ? rig::SystemClock::signalName(signal) : "the session's end",
                 session.endWords().toLocal8Bit().constData());
    QCoreApplication::exit(0);
  });

  const int result = app.exec();
  // Off the broker ({"online": false}), the web and the socket before the window and the rig
  // service go.
  session.endChannels();
  rigWindow.reset();
  destroyWindows();
  setSession(nullptr);
  return result;
}
