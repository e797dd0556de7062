#include "Serve.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QLoggingCategory>
#include <QTimer>
#include <iostream>
#include <memory>
#include <optional>
#include <string>

#include "Console.h"
#include "Remote.h"
#include "boards/Catalog.h"
#include "bridge/Bridge.h"
#include "endpoint/LocalEndpoint.h"
#include "rig/SystemClock.h"
#include "serial/CommControl.h"
#include "serial/PortMap.h"
#include "service/Done.h"
#include "service/Reply.h"
#include "service/RigService.h"
#include "session/Session.h"
#include "web/WebRemote.h"

namespace cli {

namespace {

// A rig file's rig is on its boards: "ring on /dev/pts/3, lights on /dev/pts/4".
std::string boardsWhere(const service::State& state) {
  std::string text;
  for (const service::BoardStatus& board : state.boards) {
    if (!text.empty()) text += ", ";
    text += board.name.toStdString() + " on " +
            (board.device.isEmpty() ? board.board : board.device).toStdString();
  }
  return text;
}

}  // namespace

int serve(const Options& options, const std::optional<rig::RigDescription>& described,
          const std::optional<bridge::BrokerSettings>& broker,
          const std::optional<web::WebSettings>& web) {
  std::optional<QString> ports;
  if (options.ports) ports = QString::fromStdString(*options.ports);
  Console console(std::cerr, options.quiet);
  // Everything given is checked before the port is opened: the opening resets the rig, and a
  // service restarted for a mistake would switch off a flash set by hand at each restart.
  std::optional<web::WebSettings> webSettings = web;
  if (webSettings && !webSettings->tokenFile.isEmpty()) {
    if (const service::Done read = web::readTokenFile(webSettings->tokenFile, webSettings->token);
        !read) {
      complain("cannot serve: " + read.reason().toStdString());
      return kExitConfiguration;
    }
  }
  service::Session session([ports] { return serial::CommControl::fromOption(ports); });
  service::RigService& rig = session.service();
  // Where the rig is: its port, or a board of another kind by its name.
  const bool onBoard = options.board.has_value() || described.has_value();
  const auto where = [onBoard](const service::State& state) {
    if (!state.boards.empty()) return boardsWhere(state);
    return onBoard ? state.device.toStdString()
                   : "port " + std::to_string(state.port) + " (" + state.device.toStdString() + ")";
  };
  if (options.board)
    rig.useBoard(*rig::parseBoardName(*options.board), boards::Catalog::systemSource(ports));
  if (described) rig.useRig(*described, boards::Catalog::systemSource(ports));
  QObject::connect(&rig, &service::RigService::linkLost, [](const QString& message) {
    complain("the port went away: " + message.toStdString() +
             "; it is reopened when its module comes back");
  });
  // Tells the reopening when the module has come back.
  QObject::connect(
      &rig, &service::RigHost::stateChanged,
      [&console, where, lost = false](const service::State& state) mutable {
        if (state.rig.link == rig::Link::Lost) {
          lost = true;
        } else if (lost && state.open && state.rig.reconnected && state.rig.reason.empty()) {
          lost = false;
          console.line("reconnected: " + where(state));
        }
      });

  // The journal, the name and the web port: a service that cannot serve must not touch the
  // port, nor be restarted to do so again. The web page waits for the rig's state.
  service::SessionSettings settings;
  if (options.journal) settings.journal = QString::fromStdString(*options.journal);
  settings.name = QString::fromStdString(options.name);
  if (webSettings) settings.channels.push_back(web::WebRemote::channel(*webSettings));
  const std::vector<service::StartFailure> failures = session.start(settings, false);
  if (!failures.empty()) {
    const service::StartFailure& failure = failures.front();
    complain("cannot serve: " + failure.text().toStdString());
    if (failure.step == service::StartFailure::Step::Endpoint) {
      return failure.nameTaken ? kExitNameTaken : kExitFailure;
    }
    return kExitConfiguration;
  }

  session.watchForStop([](int) { QCoreApplication::exit(0); });

  // Open as "Open Com Port" does; a stop meanwhile lets the opening end first.
  service::Request open;
  open.action = service::Action::Open;
  open.origin = service::Origin::CommandLine;
  open.port = QString::fromStdString(options.selector);
  std::optional<service::Result> opened;
  const service::Reply* reply = rig.send(open, &rig);
  QObject::connect(reply, &service::Reply::finished, &rig, [&opened, reply] {
    opened = reply->result();
    QCoreApplication::exit(0);
  });
  QCoreApplication::exec();
  if (!opened) {
    rig.shutDown();
    return rig::exitStatus(
        {.cutShort = rig::CutShort::bySignal(rig::SystemClock::stopRequested())});
  }
  if (!opened->ok) {
    const rig::Ending ending = endingOf(open, *opened);
    complain(openingFailure(ending) + opened->message.toStdString());
    return rig::exitStatus(ending);
  }
  const service::State& state = opened->state;
  console.line("status: " + state.status.toStdString() + " (" +
               (!state.boards.empty() ? boardsWhere(state)
                : onBoard
                    ? state.device.toStdString()
                    : "port " + std::to_string(state.port) + ", " + state.device.toStdString()) +
               ")");

  QObject::connect(&session.endpoint(), &service::LocalEndpoint::requestFailed,
                   [](const QString& message) { complain(message.toStdString()); });
  console.line("serving on " + service::LocalEndpoint::address(settings.name).toStdString());

  if (broker) {
    // Quiet runs tell only the broker's troubles, not each connection.
    if (options.quiet)
      QLoggingCategory::setFilterRules(QStringLiteral("quillmar.broker.info=false"));
    std::unique_ptr<QObject> bridge;
    // A bridge always starts: it connects, and reconnects, on its own.
    static_cast<void>(bridge::Bridge::channel(*broker).start(rig, session.endpoint(), bridge));
    session.addChannel(std::move(bridge));
    console.line("rig " + broker->rig.toStdString() + " on the broker " +
                 broker->url().toStdString());
  }

  if (!rig::SystemClock::stopRequested()) QCoreApplication::exec();

  // No new requests from here on: the running one stops soundly and is answered, the queued ones
  // are answered "not run", then the channels end (off the broker first, {"online": false}; the
  // socket last) and relay 1 is commanded off.
  const int signal = rig::SystemClock::stopRequested();
  console.line(std::string("stopping on ") + rig::SystemClock::signalName(signal));
  // What was commanded off, or why nothing could be: the port's relay 1, or a rig file's cameras.
  session.end();
  console.line(session.endWords().toStdString());
  return 0;
}

}  // namespace cli
