#include "Serve.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QLoggingCategory>
#include <QTimer>
#include <csignal>
#include <iostream>
#include <memory>
#include <optional>
#include <string>

#include "Console.h"
#include "Remote.h"
#include "bridge/Bridge.h"
#include "rig/SystemClock.h"
#include "serial/CommControl.h"
#include "serial/PortMap.h"
#include "service/LocalEndpoint.h"
#include "service/RigService.h"
#include "service/Session.h"
#include "web/WebRemote.h"

namespace cli {

namespace {

// How often the event loop looks for a stop request (the signal handler only sets a flag).
constexpr int kStopPollMs = 50;

}  // namespace

int serve(const Options& options, const std::optional<bridge::BrokerSettings>& broker,
          const std::optional<web::WebSettings>& web) {
  std::optional<QString> ports;
  if (options.ports) ports = QString::fromStdString(*options.ports);
  Console console(std::cerr, options.quiet);
  service::Session session([ports] { return serial::CommControl::fromOption(ports); });
  service::RigService& rig = session.service();
  QObject::connect(&rig, &service::RigService::linkLost, [](const QString& message) {
    complain("the port went away: " + message.toStdString() +
             "; it is reopened when its module comes back");
  });
  // Tells the reopening when the module has come back.
  QObject::connect(
      &rig, &service::RigHost::stateChanged,
      [&console, lost = false](const service::State& state) mutable {
        if (state.rig.link == rig::Link::Lost) {
          lost = true;
        } else if (lost && state.open && state.rig.reconnected && state.rig.reason.empty()) {
          lost = false;
          console.line("reconnected: port " + std::to_string(state.port) + " (" +
                       state.device.toStdString() + ")");
        }
      });

  QTimer stopWatch;
  stopWatch.setInterval(kStopPollMs);
  QObject::connect(&stopWatch, &QTimer::timeout, [] {
    if (rig::SystemClock::stopRequested()) QCoreApplication::exit(0);
  });
  stopWatch.start();

  // Open as "Open Com Port" does; a stop meanwhile lets the opening end first.
  service::Request open;
  open.action = service::Action::Open;
  open.origin = service::Origin::CommandLine;
  open.port = QString::fromStdString(options.selector);
  std::optional<service::Result> opened;
  rig.submit(open, [&opened](const service::Result& result) {
    opened = result;
    QCoreApplication::exit(0);
  });
  QCoreApplication::exec();
  if (!opened) {
    rig.shutDown();
    return kExitSignalBase + rig::SystemClock::stopRequested();
  }
  if (!opened->ok) {
    if (opened->failure.kind == rig::FailureKind::DeviceGone) {
      complain("port lost: " + opened->message.toStdString());
      return kExitSerial;
    }
    complain("port not found: " + opened->message.toStdString());
    return kExitPortNotFound;
  }
  const service::State& state = opened->state;
  console.line("status: " + state.status.toStdString() + " (port " + std::to_string(state.port) +
               ", " + state.device.toStdString() + ")");

  const QString name = QString::fromStdString(options.name);
  if (!session.listen(name)) {
    complain("cannot serve: " + session.endpoint().errorString().toStdString());
    rig.shutDown();
    return kExitFailure;
  }
  QObject::connect(&session.endpoint(), &service::LocalEndpoint::requestFailed,
                   [](const QString& message) { complain(message.toStdString()); });
  console.line("serving on " + service::LocalEndpoint::address(name).toStdString());

  if (web) {
    QString webError;
    auto remote = web::WebRemote::start(rig, *web, &session.endpoint(), webError);
    if (!remote) {
      complain("cannot serve: " + webError.toStdString());
      session.endChannels();
      rig.shutDown();
      return kExitFailure;
    }
    session.addChannel(std::move(remote));
  }

  if (broker) {
    // Quiet runs tell only the broker's troubles, not each connection.
    if (options.quiet)
      QLoggingCategory::setFilterRules(QStringLiteral("quillmar.broker.info=false"));
    auto bridge = std::make_unique<bridge::Bridge>(rig, *broker);
    bridge->start();
    session.addChannel(std::move(bridge));
    console.line("rig " + broker->rig.toStdString() + " on the broker " +
                 broker->url().toStdString());
  }

  if (!rig::SystemClock::stopRequested()) QCoreApplication::exec();

  // No new requests from here on (the socket goes); those taken in run to their end, then the
  // shutter is commanded off.
  const int signal = rig::SystemClock::stopRequested();
  console.line(std::string("stopping on ") + (signal == SIGTERM ? "SIGTERM" : "Ctrl-C"));
  // Off the broker first ({"online": false}), then the web and the socket, so nothing new comes
  // in while the rig stops.
  session.endChannels();
  if (rig.shutDown()) {
    console.line("relay 1 commanded off");
  } else {
    console.line("relay 1 could not be commanded off: the port is not open");
  }
  return 0;
}

}  // namespace cli
