// quillmar-cli: the rig's actions from the command line, on the panel's own rig and serial code.

#include <QCoreApplication>
#include <QString>
#include <csignal>
#include <cstdio>
#include <exception>
#include <iostream>
#include <string>
#include <vector>

#include "Console.h"
#include "Options.h"
#include "Reading.h"
#include "rig/Protocol.h"
#include "rig/Rig.h"
#include "rig/SystemClock.h"
#include "serial/CommControl.h"
#include "serial/PortMap.h"

namespace {

constexpr int kExitFailure = 1;
constexpr int kExitPortNotFound = 2;
constexpr int kExitSerial = 3;
constexpr int kExitUsage = 64;
constexpr int kExitSignalBase = 128;

constexpr const char* kStatusNotFound = "Port Not Found";

void complain(const std::string& message) { std::cerr << "quillmar-cli: " << message << std::endl; }

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

// Runs one command on an opened rig. Throws what the rig throws.
void runCommand(const cli::Options& options, rig::Rig& rig, rig::Clock& clock,
                cli::Console& console, const cli::ConsolePanel& panel) {
  switch (options.command) {
    case cli::Command::Scan:
      std::cout << panel.text(rig::Control::Combo1) << std::endl;
      break;
    case cli::Command::Reset:
      rig.resetRig();
      break;
    case cli::Command::Flash:
      rig.toggleFlash();
      break;
    case cli::Command::Shutter:
      rig.pulseShutter();
      break;
    case cli::Command::Sequence:
      for (int run = 1; run <= options.repeat; ++run) {
        if (run > 1) clock.waitFor(options.interval);
        if (options.repeat > 1) {
          console.line("sequence run " + std::to_string(run) + " of " +
                       std::to_string(options.repeat));
        }
        rig.runTwoShotSequence();
      }
      break;
    case cli::Command::Read: {
      const std::string reply = rig.queryRelay(options.relay);
      std::cout << cli::relayState(reply, options.relay) << " \"" << cli::escaped(reply, true)
                << '"' << std::endl;
      rig.relayOn(options.relay, reply);  // a reply that is no state fails the command
      break;
    }
    case cli::Command::Ports:
      break;
  }
}

int run(const cli::Options& options) {
  const serial::PortMap map =
      options.ports ? serial::PortMap::fromList(QString::fromStdString(*options.ports))
                    : serial::PortMap::fromSystem();
  if (options.command == cli::Command::Ports) return listPorts(map);

  cli::Console console(std::cerr, options.quiet);
  serial::CommControl comm(map);
  cli::LoggingSerial serial(comm, console);
  cli::ConsolePanel panel(console, options.selector);
  rig::SystemClock clock;
  rig::Rig rig(serial, panel, clock);
  const std::string name(cli::commandName(options.command));

  // Until the port is open and reset, a stop may leave relay 1 as it was before: the reset was
  // about to command it off. So may a stop during the reset command. The shutter pulse and the
  // sequence end the shutter (and the sequence the flash) themselves when they are stopped.
  bool shutterOffOnStop = true;
  try {
    rig.openComPort();
    if (!serial.portOpen() || panel.text(rig::Control::Text3) == kStatusNotFound) {
      complain("port not found: " + panel.toolTip(rig::Control::Text3));
      return kExitPortNotFound;
    }
    shutterOffOnStop = options.command == cli::Command::Reset;
    runCommand(options, rig, clock, console, panel);
    // A stop that came after the last wait still counts: the caller asked to stop.
    if (const int signal = rig::SystemClock::stopRequested()) throw rig::Interrupted{signal};
    return 0;
  } catch (const rig::Interrupted& stop) {
    // Only on the rig's own port, opened and identified: during a search the open port may be
    // some other device.
    if (shutterOffOnStop && serial.portOpen() && panel.enabled(rig::Control::Command6)) {
      try {
        rig.sendRelayCommand(rig::protocol::switchCommand(rig::protocol::kShutterRelay, false));
        panel.setText(rig::Control::Command6, "Camera Shutter");
      } catch (const rig::SerialError& error) {
        complain("could not command relay 1 off: " + std::string(error.what()));
      }
    }
    const int signal = stop.signal > 0 ? stop.signal : SIGINT;
    complain(name + " stopped by " + (signal == SIGTERM ? "SIGTERM" : "Ctrl-C"));
    return kExitSignalBase + signal;
  } catch (const rig::SerialError& error) {
    complain(name + " failed: " + error.what());
    return kExitSerial;
  } catch (const std::exception& error) {
    complain(name + " failed: " + error.what());
    return kExitFailure;
  }
}

}  // namespace

int main(int argc, char* argv[]) {
  rig::SystemClock::stopOnSignals();

  std::vector<std::string> arguments(argv + (argc > 0 ? 1 : 0), argv + argc);
  const cli::Parsed parsed = cli::parse(arguments);
  switch (parsed.outcome) {
    case cli::Parsed::Outcome::Help:
      std::cout << cli::helpText();
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

#ifdef SIGPIPE
  // A reader of the progress lines that goes away (`| head -1`) must not kill the program
  // halfway through a pulse with the shutter on: the writes fail quietly instead.
  std::signal(SIGPIPE, SIG_IGN);
#endif

  // QSerialPort wants an application object; nothing here runs its event loop.
  QCoreApplication app(argc, argv);
  const int status = run(parsed.options);
  // A result that could not be written is no success for the script that asked for it.
  std::cout.flush();
  if (status == 0 && !std::cout) {
    complain("could not write the result to standard output");
    return kExitFailure;
  }
  return status;
}
