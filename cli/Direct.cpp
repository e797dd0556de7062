#include "Direct.h"

#include <QEventLoop>
#include <QTimer>
#include <algorithm>
#include <chrono>
#include <iostream>
#include <memory>
#include <optional>
#include <string>

#include "Console.h"
#include "Reading.h"
#include "Remote.h"
#include "boards/Catalog.h"
#include "rig/Protocol.h"
#include "rig/SystemClock.h"
#include "serial/CommControl.h"
#include "service/Reply.h"
#include "service/RigService.h"
#include "session/StopWatch.h"

namespace cli {

namespace {

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
// system's notices of new devices.
void waitForDevice(const std::optional<QString>& ports, const std::string& selector,
                   std::chrono::steady_clock::duration limit, Console& console) {
  const std::unique_ptr<serial::CommControl> serial = serial::CommControl::fromOption(ports);
  if (portPresent(*serial, selector)) return;
  const auto ms = std::chrono::ceil<std::chrono::milliseconds>(limit).count();
  console.line("waiting up to " + std::to_string(ms) + " ms for " +
               (selector == "AUTOMATIC" ? std::string("a serial device")
                                        : "port " + selector + "'s device"));
  QEventLoop loop;
  serial->watchDevices([&] {
    if (portPresent(*serial, selector)) loop.quit();
  });
  QTimer deadline;
  deadline.setSingleShot(true);
  QObject::connect(&deadline, &QTimer::timeout, &loop, &QEventLoop::quit);
  deadline.start(std::chrono::milliseconds(ms));
  const int signal = service::StopWatch::exec(loop);
  serial->stopWatching();
  if (signal != 0) throw rig::CutShort::bySignal(signal);
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

// The serial control of a direct run: the port's own, with every command printed as it goes.
class LoggedPort : public LoggingSerial {
 public:
  LoggedPort(std::unique_ptr<rig::SerialControl> port, Console& console)
      : LoggingSerial(*port, console), port_(std::move(port)) {}

 private:
  std::unique_ptr<rig::SerialControl> port_;  // what the base forwards to
};

// A direct run: the rig service of the panel and serve, on this program's own port, asked one
// request at a time and waited for here.
class DirectRun {
 public:
  DirectRun(const Options& options, const std::optional<rig::RigDescription>& described,
            Console& console, const std::optional<QString>& ports)
      : options_(options),
        console_(console),
        rig_([ports, &console]() -> std::unique_ptr<rig::SerialControl> {
          return std::make_unique<LoggedPort>(serial::CommControl::fromOption(ports), console);
        }) {
    // Printed on the rig's thread as the rig sets it, in order with the commands it sends.
    QObject::connect(&rig_, &service::RigService::rigChanged,
                     [&console](const rig::RigState& state, rig::Change change) {
                       printChange(console, state, change);
                     });
    if (options.board)
      rig_.useBoard(*rig::parseBoardName(*options.board), boards::Catalog::systemSource(ports));
    if (described) rig_.useRig(*described, boards::Catalog::systemSource(ports));
    QObject::connect(&rig_, &service::RigHost::stateChanged,
                     [this](const service::State& state) { showShot(state); });
  }

  service::RigService& rig() { return rig_; }

  // Submits `request` and waits for its result. A stop meanwhile interrupts the rig (the running
  // action ends soundly at its next wait) and is then waited out; `stoppedBy` tells the signal.
  service::Result ask(const service::Request& request, int& stoppedBy) {
    std::optional<service::Result> result;
    QEventLoop loop;
    const service::Reply* reply = rig_.send(request, &loop);
    QObject::connect(reply, &service::Reply::finished, &loop, [&result, &loop, reply] {
      result = reply->result();
      loop.quit();
    });
    stoppedBy = service::StopWatch::exec(loop);
    if (!result) {
      rig_.interrupt();
      while (!result) loop.exec();
    }
    printAnswer(request, *result);
    return *result;
  }

 private:
  // "shot N of M" as a series reaches each shot.
  void showShot(const service::State& state) {
    if (!options_.repeat || state.rig.shot == 0 || state.rig.shot == shownShot_) return;
    shownShot_ = state.rig.shot;
    console_.line("shot " + std::to_string(state.rig.shot) + " of " +
                  std::to_string(state.rig.shots));
  }
  // The answer as a panel gives it, when --json asks for answers.
  void printAnswer(const service::Request& request, const service::Result& result) const {
    if (!options_.json) return;
    std::cout << service::answerText(request, result).toStdString() << std::endl;
  }

  const Options& options_;
  Console& console_;
  service::RigService rig_;
  int shownShot_ = 0;
};

service::Request requestFor(service::Action action, const Options& options) {
  service::Request request;
  request.action = action;
  request.origin = service::Origin::CommandLine;
  if (action == service::Action::Open) request.port = QString::fromStdString(options.selector);
  if (action == service::Action::Shutter || action == service::Action::Sequence) {
    request.times = shotTimes(options);
  }
  for (const std::string& camera : options.cameras)
    request.cameras.push_back(QString::fromStdString(camera));
  if (action == service::Action::Flash) request.flash = QString::fromStdString(options.flash);
  return request;
}

// The words of a failed result: the port, its device and the reason, as the rig tells them.
std::string failureText(const service::Result& result) {
  return rig::SerialError(result.failure).what();
}

}  // namespace

int runDirect(const Options& options, const std::optional<rig::RigDescription>& described,
              const std::optional<QString>& ports) {
  Console console(std::cerr, options.quiet);
  const std::string name(commandName(options.command));
  // Until the port is open and reset, a stop may leave relay 1 as it was before: the reset was
  // about to command it off. So may a stop during the reset command. The shutter pulse and the
  // sequence end the shutter (and the sequence the flash) themselves when they are stopped.
  bool shutterOffOnStop = true;
  std::optional<DirectRun> run;
  try {
    if (options.wait) waitForDevice(ports, options.selector, *options.wait, console);
    run.emplace(options, described, console, ports);
    int stoppedBy = 0;
    const service::Request open = requestFor(service::Action::Open, options);
    const service::Result opened = run->ask(open, stoppedBy);
    if (stoppedBy != 0) throw rig::CutShort::bySignal(stoppedBy);
    if (!opened.ok) {
      const rig::Ending ending = endingOf(open, opened);
      complain(openingFailure(ending) + opened.message.toStdString());
      return rig::exitStatus(ending);
    }
    shutterOffOnStop = options.command == Command::Reset;
    switch (options.command) {
      case Command::Scan:
        std::cout << opened.state.port << std::endl;
        break;
      case Command::Reset:
        // A described rig's opening has reset every line of it already.
        if (!options.rig) {
          run->rig().withRig(
              [](rig::Rig& rig, rig::SerialControl&, rig::Clock&) { rig.resetRig(); });
        }
        break;
      case Command::Flash:
      case Command::Shutter:
      case Command::Sequence: {
        const service::Request request = requestFor(*actionOf(options.command), options);
        const service::Result done = run->ask(request, stoppedBy);
        if (stoppedBy != 0) throw rig::CutShort::bySignal(stoppedBy);
        if (!done.ok) {
          complain(name + " failed: " + failureText(done));
          return rig::exitStatus(endingOf(request, done));
        }
        if (service::late(request, done)) {
          complain(name + " " + lateWords(service::toJson(request, done)));
          return rig::exit_status::kLate;
        }
        break;
      }
      case Command::Read: {
        std::string reply;
        run->rig().withRig([&](rig::Rig& rig, rig::SerialControl& serial, rig::Clock& clock) {
          reply = wholeReply(rig.queryRelay(options.relay), serial, clock);
        });
        std::cout << relayState(reply, options.relay) << " \"" << escaped(reply, true) << '"'
                  << std::endl;
        // A reply that is no state fails the command.
        run->rig().withRig([&](rig::Rig& rig, rig::SerialControl&, rig::Clock&) {
          rig.relayOn(options.relay, reply);
        });
        break;
      }
      default:
        break;
    }
    // A stop that came after the last wait still counts: the caller asked to stop.
    if (const int signal = rig::SystemClock::stopRequested()) {
      throw rig::CutShort::bySignal(signal);
    }
    return 0;
  } catch (const rig::CutShort& stop) {
    // Only on the rig's own port, opened and identified: during a search the open port may be
    // some other device.
    if (shutterOffOnStop && run && run->rig().state().rig.actionsEnabled &&
        !run->rig().shutDown()) {
      complain("could not command relay 1 off: the port is not open");
    }
    complain(name + " stopped by " + rig::SystemClock::signalName(stop.signal));
    return rig::exitStatus({.cutShort = stop});
  } catch (const rig::SerialError& error) {
    complain(name + " failed: " + error.what());
    return rig::exitStatus({.failure = error.kind()});
  } catch (const std::exception& error) {
    complain(name + " failed: " + error.what());
    return kExitFailure;
  }
}

}  // namespace cli
