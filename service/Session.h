#pragma once

#include <QObject>
#include <QString>
#include <QTimer>
#include <functional>
#include <memory>
#include <vector>

#include "LocalEndpoint.h"
#include "RigService.h"

namespace service {

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

  // Starts the local endpoint under `name`; false when it cannot listen (its errorString says
  // why).
  bool listen(const QString& name);
  // Journals every request that reaches the rig to `path` from now on; false, with `error`
  // saying why, when the file cannot be opened for appending.
  bool openJournal(const QString& path, QString& error);
  // A further channel on the service; it is the session's from now on.
  void addChannel(std::unique_ptr<QObject> channel);
  // Ends every channel, the endpoint last; the service stays.
  void endChannels();
  // The ending on a signal or the desktop's logout: no new connections or requests, the running
  // request stopped soundly and the queued ones answered "not run" (RigService::stop), those
  // answers handed to the endpoint's clients before the channels end. Returns whether relay 1 was
  // commanded off.
  bool end();

  // Calls `onStop` on this thread soon after SIGINT, SIGTERM or SIGHUP (see
  // rig::SystemClock::stopOnSignals), with the signal.
  void watchForStop(std::function<void(int signal)> onStop);

 private:
  std::unique_ptr<RigService> service_;
  std::unique_ptr<LocalEndpoint> endpoint_;
  std::vector<std::unique_ptr<QObject>> channels_;
  QTimer stopWatch_;
};

}  // namespace service
