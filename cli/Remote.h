#pragma once

#include <QJsonObject>
#include <QLocalSocket>
#include <QString>

#include "Console.h"
#include "Options.h"

namespace cli {

// Exit statuses, shared by the direct run, the run through a panel and serve.
constexpr int kExitFailure = 1;
constexpr int kExitPortNotFound = 2;
constexpr int kExitSerial = 3;
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

// Runs status, open, flash, shutter or sequence through the panel; returns the exit status.
int runThroughPanel(const Options& options, PanelClient& panel, Console& console);

// The exit status for a failed answer of the endpoint.
int exitStatus(const QJsonObject& answer);

}  // namespace cli
