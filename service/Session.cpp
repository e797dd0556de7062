#include "Session.h"

#include <utility>

namespace service {

Session::Session(RigService::SerialFactory makeSerial)
    : service_(std::make_unique<RigService>(std::move(makeSerial))),
      endpoint_(std::make_unique<LocalEndpoint>(*service_)) {}

Session::~Session() { endChannels(); }

bool Session::listen(const QString& name) { return endpoint_ && endpoint_->listen(name); }

void Session::addChannel(std::unique_ptr<QObject> channel) {
  channels_.push_back(std::move(channel));
}

void Session::endChannels() {
  while (!channels_.empty()) channels_.pop_back();
  endpoint_.reset();
}

bool Session::openJournal(const QString& path, QString& error) {
  std::unique_ptr<Journal> journal = Journal::open(path, error);
  if (!journal) return false;
  service_->setJournal(std::move(journal));
  return true;
}

}  // namespace service
