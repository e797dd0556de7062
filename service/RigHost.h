#pragma once

#include <QObject>
#include <QString>
#include <functional>

#include "Requests.h"

namespace service {

class Reply;

// Runs the rig's requests one at a time, in arrival order, and tells every change of the state
// as it happens. The rig service is the real one; the local endpoint and the broker bridge talk
// to this interface, so they can be tested on a fake.
class RigHost : public QObject {
  Q_OBJECT

 public:
  using Done = std::function<void(const Result&)>;

  using QObject::QObject;

  // Queues the request; `done` runs on the calling thread's event loop once it has run. The
  // host's one hook: the program submits through send(), which calls it.
  virtual void submit(const Request& request, Done done) = 0;
  // Submits the request and gives its reply, a child of `parent`, made on the calling thread:
  // it finishes there with the result, never inside this call.
  Reply* send(const Request& request, QObject* parent = nullptr);
  // The state as last reported, with broker() in its `broker` field.
  virtual State state() const = 0;

  // The broker bridge's word on its link, carried in the state for every channel to see.
  QString broker() const { return broker_; }
  void setBroker(const QString& broker) {
    if (broker == broker_) return;
    broker_ = broker;
    emit stateChanged(state());
  }

 signals:
  // After every change of any field of the state.
  void stateChanged(const service::State& state);

 private:
  QString broker_;
};

}  // namespace service
