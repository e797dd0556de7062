// quillmar-cli: the rig's actions from the command line, on the panel's own rig and serial code,
// or through a running panel's local endpoint.

#include <QCoreApplication>
#include <QString>
#include <algorithm>
#include <csignal>
#include <cstdio>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include "Boards.h"
#include "Console.h"
#include "Direct.h"
#include "Fire.h"
#include "Options.h"
#include "Remote.h"
#include "Serve.h"
#include "bridge/BrokerOptions.h"
#include "endpoint/LocalEndpoint.h"
#include "rig/SystemClock.h"
#include "rigfile/RigFile.h"
#include "serial/PortMap.h"
#include "service/Done.h"
#include "web/WebOptions.h"

namespace {

using cli::complain;
using cli::kExitFailure;
using cli::kExitUsage;

int listPorts(const serial::PortMap& map) {
  const QStringList& devices = map.devices();
  if (devices.isEmpty()) complain("no port is mapped to a device");
  for (qsizetype i = 0; i < devices.size(); ++i) {
    const QString& device = devices.at(i);
    std::cout << i + 1 << ' ' << (device.isEmpty() ? std::string("-") : device.toStdString())
              << '\n';
  }
  std::cout.flush();
  return 0;
}

// rig check FILE: the rig it describes on standard output, or what is wrong with it.
int checkRigFile(const std::string& path) {
  try {
    std::cout << rig::describe(rigfile::read(path)) << std::flush;
    return 0;
  } catch (const rigfile::RigFileError& error) {
    complain(error.what());
    return cli::kExitConfiguration;
  }
}

int run(const cli::Options& options, const std::optional<rig::RigDescription>& described) {
  std::optional<QString> ports;
  if (options.ports) ports = QString::fromStdString(*options.ports);
  if (options.command == cli::Command::Ports) {
    return listPorts(options.ports ? serial::PortMap::fromList(*ports)
                                   : serial::PortMap::fromSystem());
  }
  return cli::runDirect(options, described, ports);
}

// Through the running panel when there is one, otherwise (and with --direct) on the port here.
int dispatch(const cli::Options& options, const std::optional<bridge::BrokerSettings>& broker,
             const std::optional<web::WebSettings>& web) {
  const QString name = QString::fromStdString(options.name);
  if (!service::LocalEndpoint::validName(name)) {
    complain("--name wants 1 to 64 letters, digits, '.', '_' or '-', not '" + options.name + "'");
    std::cerr << "Try 'quillmar-cli --help'." << std::endl;
    return kExitUsage;
  }
  // A rig file that cannot be used stops the run before anything opens.
  std::optional<rig::RigDescription> described;
  if (options.rig) {
    try {
      described = rigfile::read(*options.rig);
    } catch (const rigfile::RigFileError& error) {
      complain(error.what());
      return cli::kExitConfiguration;
    }
  }
  // A camera the rig file does not have is the caller's mistake: told before any board opens
  // (an opening resets the rig).
  for (const std::string& camera : described ? options.cameras : std::vector<std::string>{}) {
    const auto& cameras = described->cameras;
    if (std::any_of(cameras.begin(), cameras.end(),
                    [&camera](const rig::RigCamera& c) { return c.name == camera; })) {
      continue;
    }
    std::string names;
    for (const rig::RigCamera& c : cameras) names += (names.empty() ? "" : ", ") + c.name;
    std::string words = "--cameras: the rig has no camera named '" + camera;
    words += "' (its cameras: " + names + ")";
    complain(words);
    return kExitUsage;
  }
  // So is a flash it does not have.
  if (!options.flash.empty() && described) {
    const auto& flashes = described->flashes;
    if (std::none_of(flashes.begin(), flashes.end(),
                     [&options](const rig::RigFlash& f) { return f.name == options.flash; })) {
      std::string names;
      for (const rig::RigFlash& f : flashes) names += (names.empty() ? "" : ", ") + f.name;
      complain("--flash: the rig has no flash named '" + options.flash + "' (" +
               (flashes.empty() ? "it has no flashes" : "its flashes: " + names) + ")");
      return kExitUsage;
    }
  }
  if (options.command == cli::Command::Serve) return cli::serve(options, described, broker, web);
  if (options.command == cli::Command::RigCheck) return checkRigFile(options.rigFile);
  if (options.command == cli::Command::Boards) {
    return cli::runBoards(
        options, options.ports ? std::optional<QString>(QString::fromStdString(*options.ports))
                               : std::nullopt);
  }
  if (options.command == cli::Command::Fire) {
    if (!broker) {
      complain("fire needs the broker: give --mqtt URL");
      return kExitUsage;
    }
    cli::Console console(std::cerr, options.quiet);
    return cli::fire(options, *broker, console);
  }

  const cli::Command c = options.command;
  const bool panelCommand = c == cli::Command::Status || c == cli::Command::Open ||
                            c == cli::Command::Flash || c == cli::Command::Shutter ||
                            c == cli::Command::Sequence || c == cli::Command::Stop;
  // status shows a panel's state, and stop ends its series: with --direct, which asks no panel,
  // there is none.
  const bool panelOnly = c == cli::Command::Status || c == cli::Command::Stop;
  if (panelOnly && options.direct) {
    complain("no panel is running for --direct: " + std::string(cli::commandName(c)) +
             " needs a running panel");
    return cli::kExitNoPanel;
  }
  // A board or rig file named here is opened here.
  if (panelCommand && !options.direct && !options.board && !options.rig) {
    cli::PanelClient panel;
    if (panel.connect(service::LocalEndpoint::address(name))) {
      cli::Console console(std::cerr, options.quiet);
      return cli::runThroughPanel(options, panel, console);
    }
    const std::string which =
        options.name == service::LocalEndpoint::kDefaultName ? "" : " as '" + options.name + "'";
    if (panelOnly) {
      complain("no panel is running" + which);
      return cli::kExitNoPanel;
    }
    if (options.at || options.in) {
      complain("--at and --in need a running panel (or quillmar-cli serve)" + which);
      return cli::kExitNoPanel;
    }
    if (options.selector.empty()) {
      complain(std::string(cli::commandName(c)) + " needs a port: give --port N or --auto (no " +
               "panel is running" + which + ")");
      std::cerr << "Try 'quillmar-cli --help'." << std::endl;
      return kExitUsage;
    }
  }
  // Here the port's own rig runs, whose one flash and one shutter have no names: nothing is
  // opened (and so reset) for a mistake.
  if (!options.flash.empty() && !described) {
    complain("--flash names a flash of a rig file: give --rig-file FILE, or run a panel of one");
    return kExitUsage;
  }
  if (!options.cameras.empty() && !described) {
    complain("--cameras names cameras of a rig file: give --rig-file FILE, or run a panel of one");
    return kExitUsage;
  }
  return run(options, described);
}

}  // namespace

int main(int argc, char* argv[]) {
  rig::SystemClock::stopOnSignals();

  // The broker options are taken out first; the rest is the companion's own.
  QStringList brokerArguments;
  for (int i = 1; i < argc; ++i) brokerArguments << QString::fromLocal8Bit(argv[i]);
  bridge::BrokerOptions brokerOptions;
  const service::Done brokerParsed =
      brokerOptions.extract(brokerArguments, [](const QString& word) {
        // Every command word, so that "--ha-discovery serve" keeps its command.
        const cli::Parsed alone = cli::parse({word.toStdString()});
        return alone.outcome != cli::Parsed::Outcome::UsageError ||
               alone.error.rfind("unknown command", 0) != 0;
      });
  web::WebOptions webOptions;
  const service::Done webParsed = webOptions.extract(brokerArguments);
  std::vector<std::string> arguments;
  for (const QString& argument : brokerArguments) arguments.push_back(argument.toStdString());
  const cli::Parsed parsed = cli::parse(arguments);
  switch (parsed.outcome) {
    case cli::Parsed::Outcome::Help:
      std::cout << cli::helpText() << '\n'
                << bridge::BrokerOptions::helpText().toStdString() << '\n'
                << web::WebOptions::helpText().toStdString();
      return 0;
    case cli::Parsed::Outcome::Version:
      std::cout << "quillmar-cli " QUILLMAR_VERSION "\n";
      return 0;
    case cli::Parsed::Outcome::UsageError:
      complain(parsed.error);
      std::cerr << "Try 'quillmar-cli --help'." << std::endl;
      return kExitUsage;
    case cli::Parsed::Outcome::Run:
      break;
  }
  std::optional<bridge::BrokerSettings> broker;
  QString brokerError = (brokerParsed ? brokerOptions.settings(broker) : brokerParsed).reason();
  if (brokerError.isEmpty() && broker && parsed.options.command != cli::Command::Serve &&
      parsed.options.command != cli::Command::Fire) {
    brokerError = QStringLiteral("--mqtt goes with serve and fire (or with the panel)");
  }
  std::optional<web::WebSettings> web;
  QString webError = (webParsed ? webOptions.settings(web) : webParsed).reason();
  if (webError.isEmpty() && web && parsed.options.command != cli::Command::Serve) {
    webError = QStringLiteral("--web goes with serve (or with the panel)");
  }
  if (brokerError.isEmpty()) brokerError = webError;
  if (!brokerError.isEmpty()) {
    complain(brokerError.toStdString());
    std::cerr << "Try 'quillmar-cli --help'." << std::endl;
    return kExitUsage;
  }

#ifdef SIGPIPE
  // A reader of the progress lines that goes away (`| head -1`) must not kill the program
  // halfway through a pulse with the shutter on: the writes fail quietly instead.
  std::signal(SIGPIPE, SIG_IGN);
#endif

  // QSerialPort wants an application object; nothing here runs its event loop.
  QCoreApplication app(argc, argv);
  const int status = dispatch(parsed.options, broker, web);
  // A result that could not be written is no success for the script that asked for it.
  std::cout.flush();
  if (status == 0 && !std::cout) {
    complain("could not write the result to standard output");
    return kExitFailure;
  }
  return status;
}
