#pragma once

#include <memory>

#include "RigHost.h"
#include "rig/Panel.h"
#include "rig/SerialControl.h"

namespace service {

// The one owner of the serial control and the rig. Requests from every channel run one at a
// time, in arrival order, on a thread of the service's own, where a wait is a plain monotonic
// sleep. Each change the window must show is reported as it happens (queued to the thread that
// created the service); each request ends with a Result.
class RigService : public RigHost {
  Q_OBJECT

 public:
  explicit RigService(std::unique_ptr<rig::SerialControl> serial, QObject* parent = nullptr);
  // Waits for the running request to end; queued requests are dropped unanswered.
  ~RigService() override;

  void submit(const Request& request, Done done) override;
  State state() const override;

  // True from a request's start to the end of the last queued one.
  bool busy() const;

  // For the end of a headless run: waits until the queue is empty, then commands relay 1 off
  // when the port is open, so the shutter never stays open after the service stops.
  void shutDown();

 signals:
  // Every text, caption, enabled flag and tooltip the rig sets on the window's controls.
  void textChanged(rig::Control control, const QString& text);
  void enabledChanged(rig::Control control, bool enabled);
  void toolTipChanged(rig::Control control, const QString& tip);
  // The queue has run empty.
  void idle();
  // The open port's device went away while no request ran; `message` names port, device, reason.
  void linkLost(const QString& message);

 private:
  class Worker;
  std::unique_ptr<Worker> worker_;
};

}  // namespace service
