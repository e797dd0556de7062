#include "StopWatch.h"

#include <QEventLoop>
#include <QSocketNotifier>
#include <algorithm>
#include <utility>
#include <vector>

#ifndef _WIN32
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#endif

#include "rig/SystemClock.h"

namespace service {

namespace {

// How often the stop request is looked for where no pipe wakes the loop for it (a signal handler
// only sets a flag).
constexpr int kLookMs = 50;

#ifndef _WIN32
// A stop request writes a byte here, from the signal handler, and the main thread's event loop
// wakes for it. One for the process, as the stop request is.
int stopPipe[2] = {-1, -1};

void wakeForStop() noexcept {
  const int saved = errno;
  const char byte = 1;
  // A full pipe has its wake-up pending already.
  static_cast<void>(::write(stopPipe[1], &byte, 1));
  errno = saved;
}

// The pipe's reading end, made once; -1 when no pipe can be made.
int stopWakeFd() {
  static const int fd = [] {
    if (::pipe2(stopPipe, O_CLOEXEC | O_NONBLOCK) != 0) return -1;
    rig::SystemClock::setStopHook(&wakeForStop);
    return stopPipe[0];
  }();
  return fd;
}
#endif

// The watches on the pipe: whichever drains it wakes them all, as each must tell its own.
std::vector<StopWatch*>& woken() {
  static std::vector<StopWatch*> watches;
  return watches;
}

}  // namespace

StopWatch::StopWatch(std::function<void(int signal)> onStop) : onStop_(std::move(onStop)) {
  QObject::connect(&look_, &QTimer::timeout, [this] { look(); });
#ifndef _WIN32
  if (const int fd = stopWakeFd(); fd >= 0) {
    woken().push_back(this);
    wake_ = std::make_unique<QSocketNotifier>(fd, QSocketNotifier::Read);
    QObject::connect(wake_.get(), &QSocketNotifier::activated, &look_, [fd] {
      char bytes[16];
      while (::read(fd, bytes, sizeof bytes) > 0) {
      }
      for (StopWatch* watch : woken()) watch->look_.start(0);
    });
    // Looked at once now (the stop may have come before), then whenever the pipe wakes the loop.
    look_.setSingleShot(true);
    look_.start(0);
    return;
  }
#endif
  look_.start(kLookMs);
}

StopWatch::~StopWatch() { stop(); }

void StopWatch::stop() {
  look_.stop();
  wake_.reset();
  std::erase(woken(), this);
}

void StopWatch::look() {
  if (const int signal = rig::SystemClock::stopRequested()) {
    stop();
    onStop_(signal);
  }
}

int StopWatch::exec(QEventLoop& loop) {
  const StopWatch watch([&loop](int) { loop.quit(); });
  loop.exec();
  return rig::SystemClock::stopRequested();
}

}  // namespace service
