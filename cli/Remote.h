#pragma once

#include <QJsonObject>
#include <QLocalSocket>
#include <QString>
#include <optional>
#include <string>

#include "Console.h"
#include "Options.h"
#include "rig/Failure.h"
#include "service/Requests.h"

namespace cli {

// Exit statuses, shared by the direct run, the run through a panel, serve and fire (the list is
// rig::exit_status; rig::exitStatus gives the one of an action's ending).
constexpr int kExitFailure = rig::exit_status::kFailure;
constexpr int kExitNoPanel = rig::exit_status::kNoPanel;
constexpr int kExitNameTaken = rig::exit_status::kNameTaken;
constexpr int kExitUsage = rig::exit_status::kUsage;
constexpr int kExitConfiguration = rig::exit_status::kConfiguration;

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

// How the action an answer (of the endpoint, or of a rig on the broker) answers ended, for
// rig::exitStatus: the failure's kind, and for an opening where it left the link.
rig::Ending endingOf(const QJsonObject& answer);
// The same of a result of the rig service.
rig::Ending endingOf(const service::Request& request, const service::Result& result);
// An answer's armed shot that fired late, in words: "fired, but it reached the line 31.2 ms
// after its time (board ring 31.2 ms, board side 0.4 ms)".
std::string lateWords(const QJsonObject& answer);
// How a failed opening's message begins: "port not found: " or "port lost: "; empty for any
// other ending (the message then names the action itself).
std::string openingFailure(const rig::Ending& ending);

}  // namespace cli
