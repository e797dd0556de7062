#pragma once

#include <QJsonObject>
#include <QLocalSocket>
#include <QString>
#include <optional>

#include "Console.h"
#include "Options.h"
#include "service/Requests.h"

namespace cli {

// Exit statuses, shared by the direct run, the run through a panel and serve.
constexpr int kExitFailure = rig::exit_status::kFailure;
constexpr int kExitPortNotFound = rig::exit_status::kPortNotFound;
constexpr int kExitSerial = rig::exit_status::kSerial;
constexpr int kExitNoPanel = 4;
constexpr int kExitUsage = 64;
constexpr int kExitSignalBase = 128;

void complain(const std::string& message);

// A connection to a running panel's (or serve's) local endpoint.
class PanelClient {
 public:
  // Connects to the endpoint at `address`; false when nothing listens there.
  bool connect(const QString& address);
  // Sends one request and waits for its answer. Throws rig::Interrupted on a stop request and
  // std::runtime_error when the connection ends first.
  QJsonObject ask(const QJsonObject& request);

 private:
  QLocalSocket socket_;
};

// The request a command makes of a panel: status, open, flash, shutter or sequence; none for
// the others.
std::optional<service::Action> actionOf(Command command);

// An armed shot's "at" (from --at or --in, this moment) and "clock", when the options ask for one.
void putShotTime(QJsonObject& request, const Options& options);

// Runs status, open, flash, shutter or sequence through the panel; returns the exit status.
int runThroughPanel(const Options& options, PanelClient& panel, Console& console);

// The exit status for a failed answer of the endpoint.
int exitStatus(const QJsonObject& answer);

}  // namespace cli
