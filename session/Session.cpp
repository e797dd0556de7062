#include "Session.h"

#include <QCoreApplication>
#include <QSocketNotifier>
#include <utility>

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
constexpr int kStopPollMs = 50;

#ifndef _WIN32
// A stop request writes a byte here, from the signal handler, and the main thread's event loop
// wakes for it: no timer looks for the stop while the program idles. One for the process, as
// the stop request is.
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
// How long the answers of the ending get to reach the endpoint's clients.
constexpr int kFlushMs = 1000;

}  // namespace

Session::Session(RigService::SerialFactory makeSerial)
    : service_(std::make_unique<RigService>(std::move(makeSerial))),
      endpoint_(std::make_unique<LocalEndpoint>(*service_)) {}

Session::~Session() { endChannels(); }

void Session::addChannel(std::unique_ptr<QObject> channel) {
  channels_.push_back(std::move(channel));
}

void Session::endChannels() {
  while (!channels_.empty()) channels_.pop_back();
  endpoint_.reset();
}

QString StartFailure::text() const {
  return step == Step::Journal ? QStringLiteral("the journal cannot be opened: ") + error : error;
}

std::vector<StartFailure> Session::start(const SessionSettings& settings, bool carryOn) {
  std::vector<StartFailure> failures;
  if (settings.journal) {
    QString error;
    std::unique_ptr<Journal> journal = Journal::open(*settings.journal, error);
    if (!journal) {
      failures.push_back({StartFailure::Step::Journal, {}, error});
      return failures;
    }
    service_->setJournal(std::move(journal));
  }
  if (!endpoint_->listen(settings.name)) {
    failures.push_back(
        {StartFailure::Step::Endpoint, {}, endpoint_->errorString(), endpoint_->nameTaken()});
    if (!carryOn) return failures;
  }
  for (const SessionSettings::Channel& channel : settings.channels) {
    QString error;
    if (std::unique_ptr<QObject> started = channel.start(*service_, *endpoint_, error)) {
      addChannel(std::move(started));
      continue;
    }
    failures.push_back({StartFailure::Step::Channel, channel.what, error});
    if (!carryOn) return failures;
  }
  return failures;
}

}  // namespace service

namespace service {

bool Session::end() {
  stopWatch_.stop();
  if (endpoint_) endpoint_->stopTaking();
  const bool sent = service_->stop();
  // The answers are queued to this thread: they reach the clients before the connections close.
  QCoreApplication::sendPostedEvents();
  if (endpoint_) endpoint_->flush(kFlushMs);
  endChannels();
  return sent;
}

QString Session::endWords() const { return service_->endWords(); }

void Session::watchForStop(std::function<void(int signal)> onStop) {
  stopWatch_.disconnect();
  QObject::connect(&stopWatch_, &QTimer::timeout, [this, onStop = std::move(onStop)] {
    if (const int signal = rig::SystemClock::stopRequested()) {
      stopWatch_.stop();
      onStop(signal);
    }
  });
#ifndef _WIN32
  if (const int fd = stopWakeFd(); fd >= 0) {
    stopWake_ = std::make_unique<QSocketNotifier>(fd, QSocketNotifier::Read);
    QObject::connect(stopWake_.get(), &QSocketNotifier::activated, &stopWatch_, [this, fd] {
      char bytes[16];
      while (::read(fd, bytes, sizeof bytes) > 0) {
      }
      stopWatch_.start(0);
    });
    // Looked at once now (the stop may have come before), then whenever the pipe wakes the loop.
    stopWatch_.setSingleShot(true);
    stopWatch_.start(0);
    return;
  }
#endif
  stopWatch_.start(kStopPollMs);
}

}  // namespace service
