#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include "boards/text/Rig.h"
#include "rig/Arming.h"
#include "rig/Protocol.h"
#include "support/Fakes.h"

using namespace fakes;

namespace {

// The panel's times, with the (first) shot armed.
rig::Timings timed(const rig::Arming& armed) {
  rig::Timings timings;
  timings.armed = armed;
  return timings;
}

using Texts = std::vector<std::string>;

class Arming : public ::testing::Test {
 protected:
  Arming() {
    serial.ports[1] = {};
    rig.openComPort("1");
    serial.sent.clear();
    rig.setObserver([this](const rig::RigState& state, rig::Change change) {
      if (change == rig::Change::Armed) armedSeen.push_back(state.armedAt);
      if (change == rig::Change::Shutter && state.shutter == rig::Shutter::Open) {
        openWhileArmed.push_back(state.armedAt.has_value());
      }
    });
  }

  rig::Arming shotIn(rig::Clock::duration ahead) {
    return {clock.realNow() + ahead, [this] { return disarmedNow(); },
            [this] {
              committedAt = clock.now();
              return !disarmedNow();
            }};
  }
  bool disarmedNow() const { return disarmAt && clock.now() >= *disarmAt; }
  // The steady time at which the shot's real time falls.
  rig::Clock::time_point steadyAt(const rig::Arming& armed) const {
    return clock.now() + (armed.at - clock.realNow());
  }
  const Sent* sentCommand(const std::string& text) const {
    for (const Sent& sent : serial.sent) {
      if (sent.bytes == rig::protocol::frame(text)) return &sent;
    }
    return nullptr;
  }

  FakeClock clock;
  FakeSerial serial{clock};
  rig::Rig rig{serial, clock};
  std::optional<rig::Clock::time_point> disarmAt;
  std::optional<rig::Clock::time_point> committedAt;
  std::vector<std::optional<rig::Clock::real_time>> armedSeen;
  std::vector<bool> openWhileArmed;
};

TEST_F(Arming, QueryComesBeforeAndTheCarriageReturnReachesTheModuleAtTheShotsTime) {
  const rig::Arming armed = shotIn(std::chrono::seconds(2));
  const auto shot = steadyAt(armed);
  rig.pulseShutter(timed(armed));

  EXPECT_EQ(serial.commands(), (Texts{"relay read 1", "relay on 1", "relay off 1"}));
  const Sent* query = sentCommand("relay read 1");
  const Sent* on = sentCommand("relay on 1");
  const Sent* off = sentCommand("relay off 1");
  ASSERT_TRUE(query && on && off);
  EXPECT_GE(query->at, shot - rig::kArmingLead) << "the reading is fresh at the shot";
  EXPECT_LT(query->at, on->at);
  // Eleven bytes at 9600 baud: the write begins 11.46 ms ahead.
  EXPECT_EQ(on->at + rig::wireTime(on->bytes.size()), shot);
  EXPECT_GE(off->at - on->at, std::chrono::milliseconds(500)) << "the usual pulse follows";
  ASSERT_EQ(armedSeen.size(), 2u);
  EXPECT_EQ(armedSeen[0], armed.at) << "the state shows the rig armed while it waits";
  EXPECT_FALSE(armedSeen[1]);
  // The open shutter and the wait's end are one state: the channels are told once, not twice.
  EXPECT_EQ(openWhileArmed, std::vector<bool>{false});
  EXPECT_FALSE(rig.state().armedAt);
}

TEST_F(Arming, SequenceFiresItsFirstShotAtTheTimeAndGoesOnWithItsPauses) {
  const rig::Arming armed = shotIn(std::chrono::milliseconds(1500));
  const auto shot = steadyAt(armed);
  rig.runTwoShotSequence(timed(armed));
  EXPECT_EQ(serial.switching(), (Texts{"relay on 1", "relay off 1", "relay on 0", "relay on 1",
                                       "relay off 1", "relay off 0"}));
  EXPECT_EQ(serial.sent[1].at + rig::wireTime(serial.sent[1].bytes.size()), shot);
}

TEST_F(Arming, AShotThatCannotBeOnTimeFiresNothing) {
  using rig::FailureKind;
  // Too near to start arming, and already past: nothing goes on the line.
  for (const auto ahead : {std::chrono::milliseconds(50), std::chrono::milliseconds(-10)}) {
    const rig::Arming armed = shotIn(ahead);
    try {
      rig.pulseShutter(timed(armed));
      ADD_FAILURE() << "a late shot fired";
    } catch (const rig::SerialError& error) {
      EXPECT_EQ(error.kind(), FailureKind::TooLate);
    }
    EXPECT_TRUE(serial.sent.empty());
  }

  // The module answers after the moment the write had to begin: no "relay on 1" at all.
  serial.replyDelay = std::chrono::milliseconds(400);
  const rig::Arming armed = shotIn(std::chrono::seconds(1));
  try {
    rig.runTwoShotSequence(timed(armed));
    ADD_FAILURE() << "a late shot fired";
  } catch (const rig::SerialError& error) {
    EXPECT_EQ(error.kind(), FailureKind::TooLate);
  }
  EXPECT_EQ(serial.switching(), Texts{"relay off 1"}) << "the shutter still ends commanded off";
  EXPECT_FALSE(serial.relay[1]);
  EXPECT_FALSE(rig.state().armedAt);
}

TEST_F(Arming, DisarmEndsTheWaitBeforeAnythingFires) {
  const rig::Arming armed = shotIn(std::chrono::seconds(30));
  disarmAt = clock.now() + std::chrono::seconds(5);
  try {
    rig.runTwoShotSequence(timed(armed));
    ADD_FAILURE() << "the disarmed shot fired";
  } catch (const rig::SerialError& error) {
    EXPECT_EQ(error.kind(), rig::FailureKind::Disarmed);
  }
  EXPECT_TRUE(serial.sent.empty());
  EXPECT_LT(clock.now(), *disarmAt + std::chrono::milliseconds(50)) << "ended promptly";
  EXPECT_FALSE(rig.state().armedAt);
}

TEST_F(Arming, ADisarmAfterTheQueryPutsNothingMoreOnTheLineAndOneAfterTheCutOffComesTooLate) {
  // After the query, before the cut-off: the shot is disarmed and no "relay off 1" follows,
  // since "relay on 1" never went out.
  const rig::Arming armed = shotIn(std::chrono::seconds(2));
  disarmAt = steadyAt(armed) - std::chrono::milliseconds(100);
  try {
    rig.pulseShutter(timed(armed));
    ADD_FAILURE() << "the disarmed shot fired";
  } catch (const rig::SerialError& error) {
    EXPECT_EQ(error.kind(), rig::FailureKind::Disarmed);
  }
  EXPECT_TRUE(sentCommand("relay read 1"));
  EXPECT_TRUE(serial.switching().empty()) << "nothing but the query went out";

  // The cut-off is the commit, the wire time and the last stretch before the shot: a disarm
  // after it does not stop the shot.
  serial.sent.clear();
  const rig::Arming late = shotIn(std::chrono::seconds(2));
  disarmAt = steadyAt(late) - std::chrono::milliseconds(5);
  rig.pulseShutter(timed(late));
  ASSERT_TRUE(committedAt);
  EXPECT_LT(*committedAt, *disarmAt);
  EXPECT_GE(steadyAt(late) - *committedAt, std::chrono::milliseconds(31));
  EXPECT_EQ(serial.switching(), (Texts{"relay on 1", "relay off 1"}));
}

// The priority is the shot's command's alone: the state is told after it is given back, so that
// rigs sharing the machine's cores send their own commands first; a failed command's release too.
TEST(ArmedPriority, OnlyTheShotsCommandGoesOutRaised) {
  FakeClock clock;
  FakeSerial serial{clock};
  rig::Rig rig{serial, clock};
  serial.ports[1] = {};
  rig.openComPort("1");
  std::vector<bool> toldRaised;
  rig.setObserver([&](const rig::RigState&, rig::Change) { toldRaised.push_back(clock.raised); });
  rig.pulseShutter(timed({clock.realNow() + std::chrono::seconds(2), {}, {}}));
  EXPECT_EQ(serial.raisedOutputs, Texts{"relay on 1\r"});
  EXPECT_EQ(std::count(toldRaised.begin(), toldRaised.end(), true), 0);

  serial.raisedOutputs.clear();
  toldRaised.clear();
  serial.failOutputAt = static_cast<int>(serial.sent.size()) + 2;  // the query, then the shot
  EXPECT_THROW(rig.pulseShutter(timed({clock.realNow() + std::chrono::seconds(2), {}, {}})),
               rig::SerialError);
  EXPECT_EQ(serial.raisedOutputs, Texts{"relay on 1\r"});
  EXPECT_EQ(serial.switching().back(), "relay off 1") << "released";
  EXPECT_EQ(std::count(toldRaised.begin(), toldRaised.end(), true), 0);
  EXPECT_FALSE(clock.raised);
}

}  // namespace
