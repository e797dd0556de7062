#pragma once

#include <QTimer>
#include <deque>
#include <vector>

#include "service/RigHost.h"

// A rig host that takes requests and answers them when the test says so (or at once), as the
// real service would: on the event loop, in the order they came.
class HeldHost : public service::RigHost {
 public:
  void submit(const service::Request& request, Done done) override {
    received.push_back(request);
    held.push_back(std::move(done));
    if (answerAtOnce) finish();
  }
  service::State state() const override { return {}; }

  // Answers the oldest request still held.
  void finish(service::Result result = {}) {
    if (held.empty()) return;
    QTimer::singleShot(0, this, [done = std::move(held.front()), result] { done(result); });
    held.pop_front();
  }

  bool answerAtOnce = false;
  std::vector<service::Request> received;
  std::deque<Done> held;
};
