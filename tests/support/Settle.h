#pragma once

#include <gtest/gtest.h>

#include <QEventLoop>
#include <QPointer>
#include <QTimer>
#include <memory>

#include "service/RigService.h"

// Waits until every request made of `rig` so far has run and the window has taken in all it
// reported: a request's answer comes back after the changes it made. The wait ends the moment
// the answer is handled, not at the next turn of a polling loop (a window test settles thousands
// of times).
inline void settle(service::RigService& rig) {
  QEventLoop loop;
  // Shared with the callback, which may come after a wait given up on.
  auto answered = std::make_shared<bool>(false);
  rig.afterQueued([answered, loop = QPointer<QEventLoop>(&loop)] {
    *answered = true;
    if (loop) loop->quit();
  });
  QTimer::singleShot(60000, &loop, &QEventLoop::quit);
  if (!*answered) loop.exec();
  EXPECT_TRUE(*answered) << "the rig service did not get through its requests";
}
