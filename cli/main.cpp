// quillmar-cli: the rig's actions from the command line, on the panel's own rig and serial code,
// or through a running panel's local endpoint.

#include <QCoreApplication>
#include <QEventLoop>
#include <QString>
#include <QTimer>
#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <exception>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Console.h"
#include "Fire.h"
#include "Options.h"
#include "Reading.h"
#include "Remote.h"
#include "Serve.h"
#include "bridge/BrokerOptions.h"
#include "rig/Protocol.h"
#include "rig/Rig.h"
#include "rig/SystemClock.h"
#include "serial/CommControl.h"
#include "serial/PortMap.h"
#include "service/LocalEndpoint.h"
#include "service/Requests.h"
#include "web/WebOptions.h"

namespace {

using cli::complain;
using cli::kExitFailure;
using cli::kExitPortNotFound;
using cli::kExitSerial;
using cli::kExitSignalBase;
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

// Whether the port the selector names has a device now ("AUTOMATIC": any port).
bool portPresent(rig::SerialControl& serial, const std::string& selector) {
  const rig::PortList ports = serial.refreshPorts();
  if (selector == "AUTOMATIC") {
    return std::any_of(ports.begin(), ports.end(),
                       [](const rig::DeviceInfo& info) { return info.present; });
  }
  const auto number = rig::protocol::toInteger16(selector);
  return number && *number >= 1 && static_cast<std::size_t>(*number) <= ports.size() &&
         ports[static_cast<std::size_t>(*number - 1)].present;
}

// --wait: until the port's device appears, the time is up, or a stop is asked for. Woken by the
// system's notices of new devices; the stop flag is looked at a few times a second.
void waitForDevice(rig::SerialControl& serial, const std::string& selector,
                   std::chrono::steady_clock::duration limit, cli::Console& console) {
  if (portPresent(serial, selector)) return;
  const auto ms = std::chrono::ceil<std::chrono::milliseconds>(limit).count();
  console.line("waiting up to " + std::to_string(ms) + " ms for " +
               (selector == "AUTOMATIC" ? std::string("a serial device")
                                        : "port " + selector + "'s device"));
  QEventLoop loop;
  serial.watchDevices([&] {
    if (portPresent(serial, selector)) loop.quit();
  });
  QTimer deadline;
  deadline.setSingleShot(true);
  QObject::connect(&deadline, &QTimer::timeout, &loop, &QEventLoop::quit);
  deadline.start(std::chrono::milliseconds(ms));
  QTimer stopWatch;
  QObject::connect(&stopWatch, &QTimer::timeout, &loop, [&loop] {
    if (rig::SystemClock::stopRequested()) loop.quit();
  });
  constexpr int kStopPollMs = 50;
  stopWatch.start(kStopPollMs);
  loop.exec();
  serial.stopWatching();
  if (const int signal = rig::SystemClock::stopRequested()) throw rig::Interrupted{signal};
}

// A reply is taken once its answer line has ended; its prompt may still be on the way. For `read`,
// which shows the reply, the rest is waited for: until the prompt, or a short quiet on the line.
std::string wholeReply(std::string reply, rig::SerialControl& serial, rig::Clock& clock) {
  constexpr auto kQuiet = std::chrono::milliseconds(50);
  constexpr auto kPoll = std::chrono::milliseconds(2);
  constexpr std::size_t kMostBytes = 1024;
  auto lastByte = clock.now();
  while (reply.find('>') == std::string::npos && reply.size() < kMostBytes &&
         clock.now() - lastByte < kQuiet) {
    clock.waitFor(kPoll);
    const std::string more = serial.input();
    if (more.empty()) continue;
    reply += more;
    lastByte = clock.now();
  }
  return reply;
}

// Runs one command on an opened rig. Throws what the rig throws.
void runCommand(const cli::Options& options, rig::Rig& rig, rig::SerialControl& serial,
                rig::Clock& clock, cli::Console& console) {
  switch (options.command) {
    case cli::Command::Scan:
      std::cout << rig.state().port << std::endl;
      break;
    case cli::Command::Reset:
      rig.resetRig();
      break;
    case cli::Command::Flash:
      rig.toggleFlash();
      break;
    case cli::Command::Shutter:
    case cli::Command::Sequence: {
      // The series as the rig service runs it: each shot `spacing` after the last one's start.
      const bool sequence = options.command == cli::Command::Sequence;
      const service::ShotTimes times = cli::shotTimes(options);
      const rig::Timings timings = times.timings();
      const auto spacing = times.spacing(sequence);
      const auto start = clock.now();
      for (int shot = 1; shot <= times.shots(); ++shot) {
        if (shot > 1) clock.waitUntil(start + (shot - 1) * spacing);
        if (times.repeat) {
          console.line("shot " + std::to_string(shot) + " of " + std::to_string(times.shots()));
        }
        if (sequence) {
          rig.runTwoShotSequence(timings);
        } else {
          rig.pulseShutter(timings);
        }
      }
      break;
    }
    case cli::Command::Read: {
      const std::string reply = wholeReply(rig.queryRelay(options.relay), serial, clock);
      std::cout << cli::relayState(reply, options.relay) << " \"" << cli::escaped(reply, true)
                << '"' << std::endl;
      rig.relayOn(options.relay, reply);  // a reply that is no state fails the command
      break;
    }
    case cli::Command::Open:  // the opening is all
    case cli::Command::Ports:
    case cli::Command::Status:
    case cli::Command::Serve:
    case cli::Command::Stop:
    case cli::Command::Fire:
      break;
  }
}

// What a direct run did since `since`, as the answer a panel gives: the commands sent, the
// state it left, and the failure when there was one.
class Answers {
 public:
  Answers(const cli::Options& options, const cli::LoggingSerial& serial, const rig::Rig& rig)
      : options_(options), serial_(serial), rig_(rig) {}

  void start() { since_ = std::chrono::steady_clock::now(); }
  // Prints the answer for `action` when --json asks for answers.
  void print(service::Action action, std::optional<rig::FailureKind> failure = std::nullopt,
             const std::string& message = {}) const {
    if (!options_.json) return;
    service::Request request;
    request.action = action;
    request.origin = service::Origin::CommandLine;
    if (action == service::Action::Open) request.port = QString::fromStdString(options_.selector);
    service::Result result;
    result.ok = !failure;
    result.failure.kind = failure.value_or(rig::FailureKind::Other);
    result.message = QString::fromStdString(message);
    result.state = service::stateOf(rig_.state());
    // The real-time clock's reading of each send, from its distance to now.
    const auto steadyNow = std::chrono::steady_clock::now();
    const auto realNow = std::chrono::system_clock::now();
    for (const auto& sent : serial_.sent()) {
      if (sent.at < since_) continue;
      result.commands.push_back(
          {std::chrono::duration<double>(sent.at - since_).count(),
           QString::fromStdString(sent.text),
           realNow - std::chrono::duration_cast<std::chrono::system_clock::duration>(steadyNow -
                                                                                     sent.at)});
    }
    std::cout << service::answerText(request, result).toStdString() << std::endl;
  }

 private:
  const cli::Options& options_;
  const cli::LoggingSerial& serial_;
  const rig::Rig& rig_;
  std::chrono::steady_clock::time_point since_;
};

int run(const cli::Options& options) {
  const serial::PortMap map =
      options.ports ? serial::PortMap::fromList(QString::fromStdString(*options.ports))
                    : serial::PortMap::fromSystem();
  if (options.command == cli::Command::Ports) return listPorts(map);

  cli::Console console(std::cerr, options.quiet);
  std::optional<QString> ports;
  if (options.ports) ports = QString::fromStdString(*options.ports);
  const std::unique_ptr<serial::CommControl> comm = serial::CommControl::fromOption(ports);
  cli::LoggingSerial serial(*comm, console);
  rig::SystemClock clock;
  rig::Rig rig(serial, clock);
  rig.setObserver([&console](const rig::RigState& state, rig::Change change) {
    cli::printChange(console, state, change);
  });
  const std::string name(cli::commandName(options.command));
  Answers answers(options, serial, rig);
  // The opening is answered on its own; only the actions that follow it are answered again.
  const service::Action action = cli::actionOf(options.command).value_or(service::Action::Status);
  const bool answered = action != service::Action::Open && action != service::Action::Status;

  // Until the port is open and reset, a stop may leave relay 1 as it was before: the reset was
  // about to command it off. So may a stop during the reset command. The shutter pulse and the
  // sequence end the shutter (and the sequence the flash) themselves when they are stopped.
  bool shutterOffOnStop = true;
  try {
    if (options.wait) waitForDevice(*comm, options.selector, *options.wait, console);
    answers.start();
    if (const auto failure = rig.openComPort(options.selector)) {
      const rig::RigState state = rig.state();
      answers.print(service::Action::Open, failure, state.reason);
      // A port that opened and went away during the reset was found: it failed, like a write.
      if (state.link == rig::Link::Lost) {
        complain("port lost: " + state.reason);
        return kExitSerial;
      }
      complain("port not found: " + state.reason);
      return kExitPortNotFound;
    }
    answers.print(service::Action::Open);
    shutterOffOnStop = options.command == cli::Command::Reset;
    if (answered) answers.start();
    try {
      runCommand(options, rig, serial, clock, console);
    } catch (const rig::SerialError& error) {
      if (answered) answers.print(action, error.kind(), error.what());
      throw;
    }
    if (answered) answers.print(action);
    // A stop that came after the last wait still counts: the caller asked to stop.
    if (const int signal = rig::SystemClock::stopRequested()) throw rig::Interrupted{signal};
    return 0;
  } catch (const rig::Interrupted& stop) {
    // Only on the rig's own port, opened and identified: during a search the open port may be
    // some other device.
    if (shutterOffOnStop && serial.portOpen() && rig.state().actionsEnabled) {
      try {
        rig.shutterOff();
      } catch (const rig::SerialError& error) {
        complain("could not command relay 1 off: " + std::string(error.what()));
      }
    }
    const int signal = stop.signal > 0 ? stop.signal : SIGINT;
    complain(name + " stopped by " + rig::SystemClock::signalName(signal));
    return kExitSignalBase + signal;
  } catch (const rig::SerialError& error) {
    complain(name + " failed: " + error.what());
    return rig::exitStatus(error.kind());
  } catch (const std::exception& error) {
    complain(name + " failed: " + error.what());
    return kExitFailure;
  }
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
  if (options.command == cli::Command::Serve) return cli::serve(options, broker, web);
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
  if (panelCommand && !options.direct) {
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
  return run(options);
}

}  // namespace

int main(int argc, char* argv[]) {
  rig::SystemClock::stopOnSignals();

  // The broker options are taken out first; the rest is the companion's own.
  QStringList brokerArguments;
  for (int i = 1; i < argc; ++i) brokerArguments << QString::fromLocal8Bit(argv[i]);
  bridge::BrokerOptions brokerOptions;
  QString brokerError;
  const bool brokerParsed =
      brokerOptions.extract(brokerArguments, brokerError, [](const QString& word) {
        // Every command word, so that "--ha-discovery serve" keeps its command.
        const cli::Parsed alone = cli::parse({word.toStdString()});
        return alone.outcome != cli::Parsed::Outcome::UsageError ||
               alone.error.rfind("unknown command", 0) != 0;
      });
  web::WebOptions webOptions;
  QString webError;
  const bool webParsed = webOptions.extract(brokerArguments, webError);
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
  if (brokerParsed) broker = brokerOptions.settings(brokerError);
  if (brokerError.isEmpty() && broker && parsed.options.command != cli::Command::Serve &&
      parsed.options.command != cli::Command::Fire) {
    brokerError = QStringLiteral("--mqtt goes with serve and fire (or with the panel)");
  }
  std::optional<web::WebSettings> web;
  if (webParsed) web = webOptions.settings(webError);
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
