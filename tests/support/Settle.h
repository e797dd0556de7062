#pragma once

#include <gtest/gtest.h>

#include <QTest>

#include "service/RigService.h"

// Waits until every request made of `rig` so far has run and the window has taken in all it
// reported: a request's answer comes back after the changes it made.
inline void settle(service::RigService& rig) {
  bool answered = false;
  rig.afterQueued([&answered] { answered = true; });
  EXPECT_TRUE(QTest::qWaitFor([&answered] { return answered; }, 60000))
      << "the rig service did not get through its requests";
}
