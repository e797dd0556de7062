#pragma once

#include <QTimer>
#include <functional>
#include <memory>

class QEventLoop;
class QSocketNotifier;

namespace service {

// Tells of a stop request (rig::SystemClock::requestStop: Ctrl-C, SIGTERM or SIGHUP once
// rig::SystemClock::stopOnSignals is in force) on the main thread, from its event loop. Woken by
// a pipe the request writes a byte to, where there is one, so that no timer runs while the
// program idles; elsewhere it looks every 50 ms. Every wait of the programs for a stop uses one:
// the session's, and the command line's waits for a device, an answer or the broker.
class StopWatch {
 public:
  // Calls `onStop` with the stop's signal, once, soon after a stop request; a request made before
  // the watch began counts too.
  explicit StopWatch(std::function<void(int signal)> onStop);
  StopWatch(const StopWatch&) = delete;
  StopWatch& operator=(const StopWatch&) = delete;
  ~StopWatch();

  // No call from now on.
  void stop();

  // Runs `loop` until it quits or a stop is asked for; the pending stop's signal after it, 0 when
  // none came.
  static int exec(QEventLoop& loop);

 private:
  void look();

  std::function<void(int signal)> onStop_;
  QTimer look_;
  std::unique_ptr<QSocketNotifier> wake_;  // the stop's pipe, where there is one
};

}  // namespace service
