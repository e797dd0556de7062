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
// serve: another program listens under the socket's name; nothing was sent on the port.
constexpr int kExitNameTaken = 5;
constexpr int kExitUsage = 64;
// serve: something it was given cannot work (the web port taken, the token file, the journal's
// path); nothing was sent on the port, and a restart would only fail again.
constexpr int kExitConfiguration = 78;
constexpr int kExitSignalBase = 128;

void complain(const std::string& message);
// A rig's message in this program's terms: the JSON it names ("clock": "local") becomes the
// option that sends it (--local-clock).
std::string inCliTerms(const QString& message);

// A connection to a running panel's (or serve's) local endpoint.
class PanelClient {
 public:
  // Connects to the endpoint at `address`; false when nothing listens there.
  bool connect(const QString& address);
  // Sends one request and waits for its answer. On a stop request (`stoppedBy` then holds the
  // signal) a request that has not started is withdrawn, and its answer says "not-run"; one that
  // has started runs to its end and its answer is waited for. Throws std::runtime_error when the
  // connection ends first.
  QJsonObject ask(const QJsonObject& request, int& stoppedBy);

 private:
  QJsonObject readLine();
  QLocalSocket socket_;
};

// The request a command makes of a panel: status, open, flash, shutter or sequence; none for
// the others.
std::optional<service::Action> actionOf(Command command);

// The times of a shutter or sequence as the options give them.
service::ShotTimes shotTimes(const Options& options);

// An armed shot's "at" (from --at or --in, this moment) and "clock", when the options ask for one.
void putShotTime(QJsonObject& request, const Options& options);

// Runs status, open, flash, shutter, sequence or stop through the panel; returns the exit
// status.
int runThroughPanel(const Options& options, PanelClient& panel, Console& console);

// The exit status for a failed answer of the endpoint.
int exitStatus(const QJsonObject& answer);

}  // namespace cli
