#include "Session.h"

#include <QCoreApplication>
#include <utility>

namespace service {

namespace {

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
    std::unique_ptr<Journal> journal;
    if (const Done opened = Journal::open(*settings.journal, journal); !opened) {
      failures.push_back({StartFailure::Step::Journal, {}, opened.reason()});
      return failures;
    }
    service_->setJournal(std::move(journal));
  }
  if (const Done listening = endpoint_->listen(settings.name); !listening) {
    failures.push_back(
        {StartFailure::Step::Endpoint, {}, listening.reason(), endpoint_->nameTaken()});
    if (!carryOn) return failures;
  }
  for (const SessionSettings::Channel& channel : settings.channels) {
    std::unique_ptr<QObject> started;
    if (const Done done = channel.start(*service_, *endpoint_, started); !done) {
      failures.push_back({StartFailure::Step::Channel, channel.what, done.reason()});
      if (!carryOn) return failures;
      continue;
    }
    addChannel(std::move(started));
  }
  return failures;
}

}  // namespace service

namespace service {

bool Session::end() {
  if (stopWatch_) stopWatch_->stop();
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
  stopWatch_ = std::make_unique<StopWatch>(std::move(onStop));
}

}  // namespace service
