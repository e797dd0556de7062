#pragma once

#include <QObject>
#include <QString>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "StopWatch.h"
#include "endpoint/LocalEndpoint.h"
#include "service/Done.h"
#include "service/RigService.h"

namespace service {

// What a session starts with, taken in this order: the journal, the local endpoint's name, then
// each further channel.
struct SessionSettings {
  std::optional<QString> journal;  // journal every request that reaches the rig to this file
  QString name;                    // the local endpoint's
  struct Channel {
    QString what;  // how a failure names it: "phone remote"
    // Starts the channel on the service and the endpoint, into `channel`; not done when it
    // cannot.
    std::function<Done(RigService&, LocalEndpoint&, std::unique_ptr<QObject>& channel)> start;
  };
  std::vector<Channel> channels;
};

// A step of the start that failed.
struct StartFailure {
  enum class Step { Journal, Endpoint, Channel };
  Step step = Step::Journal;
  QString what;  // the channel's name ("phone remote"); empty for the journal and the endpoint
  QString error;
  bool nameTaken = false;  // the endpoint's name is another program's

  // The failure in words: "the journal cannot be opened: ...", or the error alone.
  QString text() const;
};

// The rig service and the channels that bring it requests: the local endpoint, and whatever else
// is added (the broker bridge, ...). The panel and serve build it the same way. The channels end
// before the service, the last added first, so no request comes in while the service stops.
class Session {
 public:
  explicit Session(RigService::SerialFactory makeSerial);
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;
  ~Session();

  RigService& service() { return *service_; }
  LocalEndpoint& endpoint() { return *endpoint_; }

  // Starts what `settings` ask for, in their order, before the port is touched. The journal
  // failing ends the start: no request may go unjournalled. Any other failure ends it too unless
  // `carryOn` (the panel, which shows it and works without that channel). Returns the failures.
  std::vector<StartFailure> start(const SessionSettings& settings, bool carryOn);
  // A further channel on the service; it is the session's from now on.
  void addChannel(std::unique_ptr<QObject> channel);
  // Ends every channel, the endpoint last; the service stays.
  void endChannels();
  // The ending on a signal or the desktop's logout: no new connections or requests, the running
  // request stopped soundly and the queued ones answered "not run" (RigService::stop), those
  // answers handed to the endpoint's clients before the channels end. Returns whether relay 1 was
  // commanded off.
  bool end();
  // What end() commanded off, or why it could not (RigService::endWords).
  QString endWords() const;

  // Calls `onStop` on this thread soon after SIGINT, SIGTERM or SIGHUP (see
  // rig::SystemClock::stopOnSignals), with the signal, once (a StopWatch); end() ends the watch.
  void watchForStop(std::function<void(int signal)> onStop);

 private:
  std::unique_ptr<RigService> service_;
  std::unique_ptr<LocalEndpoint> endpoint_;
  std::vector<std::unique_ptr<QObject>> channels_;
  std::unique_ptr<StopWatch> stopWatch_;
};

}  // namespace service
