#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <utility>
#include <vector>

#include "rig/Captions.h"
#include "rig/Rig.h"
#include "support/Fakes.h"

using namespace fakes;

namespace {

TEST(Captions, StatusTipTellsTheDeviceTheReconnectionOrWhyNotOpen) {
  rig::RigState state;
  EXPECT_EQ(rig::captions::status(state.link), "Port Status");
  EXPECT_EQ(rig::captions::statusTip(state), "");
  state.device = "/dev/ttyACM0";
  state.link = rig::Link::OpenedBySearch;
  EXPECT_EQ(rig::captions::statusTip(state), "/dev/ttyACM0");
  state.reconnected = true;
  EXPECT_EQ(rig::captions::statusTip(state), "/dev/ttyACM0 (reconnected)");
  state.reason = "write failed";
  EXPECT_EQ(rig::captions::statusTip(state),
            "/dev/ttyACM0 (reconnected; the reset failed: write failed)");
  state.link = rig::Link::Lost;
  EXPECT_EQ(rig::captions::statusTip(state), "write failed") << "not the device: it is gone";

  // An armed rig says so under the link's words, in UTC to the millisecond.
  state.armedAt = std::chrono::system_clock::time_point(std::chrono::seconds(1796671199)) +
                  std::chrono::milliseconds(250);
  EXPECT_EQ(rig::captions::statusTip(state),
            "write failed\nArmed: shot at 2026-12-07 19:19:59.250 UTC");
}

TEST(FailureKinds, EveryKindHasOneWireNameThatReadsBack) {
  using rig::FailureKind;
  for (const FailureKind kind :
       {FailureKind::Other, FailureKind::NoDevice, FailureKind::Busy, FailureKind::Permission,
        FailureKind::NotSerialPort, FailureKind::NotOpen, FailureKind::DeviceGone,
        FailureKind::WriteFailed, FailureKind::NoAnswer, FailureKind::NotUnderstood,
        FailureKind::Stopped, FailureKind::NotRun, FailureKind::TooLate, FailureKind::Conflict,
        FailureKind::TooFarAhead, FailureKind::ClockUnsynchronized, FailureKind::Disarmed}) {
    EXPECT_EQ(rig::kindFromName(rig::kindName(kind)), kind) << rig::kindName(kind);
  }
  EXPECT_EQ(rig::kindFromName("no-such-kind"), FailureKind::Other);
}

// The statuses the command line's manual lists, for every way an action can end.
TEST(ExitStatus, EveryEndingHasItsStatus) {
  using rig::FailureKind;
  using rig::Link;
  const std::vector<std::pair<FailureKind, int>> statuses{
      {FailureKind::Other, 1},         {FailureKind::NoDevice, 2},
      {FailureKind::Busy, 2},          {FailureKind::Permission, 2},
      {FailureKind::NotSerialPort, 2}, {FailureKind::NotOpen, 2},
      {FailureKind::DeviceGone, 3},    {FailureKind::WriteFailed, 3},
      {FailureKind::NoAnswer, 3},      {FailureKind::NotUnderstood, 3},
      {FailureKind::Stopped, 1},       {FailureKind::NotRun, 1},
      {FailureKind::TooLate, 6},       {FailureKind::Conflict, 6},
      {FailureKind::TooFarAhead, 6},   {FailureKind::ClockUnsynchronized, 6},
      {FailureKind::Disarmed, 6}};
  for (const auto& [kind, status] : statuses) {
    EXPECT_EQ(rig::exitStatus({.failure = kind}), status) << rig::kindName(kind);
  }
  EXPECT_EQ(rig::exitStatus({}), 0);

  // An opening is told by where it left the link: a search whose asked port went away is still
  // "Port Not Found", and a reset that found the device gone is "Port Lost" whatever the kind.
  EXPECT_EQ(rig::exitStatus({.failure = FailureKind::DeviceGone, .opening = Link::NotFound}), 2);
  EXPECT_EQ(rig::exitStatus({.failure = FailureKind::WriteFailed, .opening = Link::Lost}), 3);
  EXPECT_EQ(rig::exitStatus({.failure = FailureKind::NotOpen, .opening = Link::Lost}), 3);
  // One that failed with its port still open (the search's reset), or never ran: its kind.
  EXPECT_EQ(rig::exitStatus({.failure = FailureKind::NoAnswer, .opening = Link::OpenedBySearch}),
            3);
  EXPECT_EQ(rig::exitStatus({.failure = FailureKind::NotRun, .opening = Link::Opened}), 1);
  EXPECT_EQ(rig::exitStatus({.opening = Link::Opened}), 0);

  // Cut short: by a signal 128 + the signal (a request to end without one counts as Ctrl-C); by
  // the service stopping a failure; by the action's own stop no failure at all.
  using rig::CutShort;
  EXPECT_EQ(rig::exitStatus({.cutShort = CutShort::bySignal(SIGINT)}), 130);
  EXPECT_EQ(rig::exitStatus({.cutShort = CutShort::bySignal(SIGTERM)}), 143);
  EXPECT_EQ(rig::exitStatus({.cutShort = CutShort::bySignal(-1)}), 130);
  EXPECT_EQ(
      rig::exitStatus({.failure = FailureKind::NoAnswer, .cutShort = CutShort::bySignal(SIGTERM)}),
      143);
  EXPECT_EQ(rig::exitStatus({.cutShort = CutShort{CutShort::Why::ServiceStopping}}), 1);
  EXPECT_EQ(rig::exitStatus({.cutShort = CutShort{CutShort::Why::StopAsked}}), 0);
}

class Observed : public ::testing::Test {
 protected:
  Observed() {
    rig.setObserver([this](const rig::RigState& state, rig::Change change) {
      reports.emplace_back(change, state);
    });
  }
  std::vector<rig::Change> changes() const {
    std::vector<rig::Change> list;
    for (const auto& [change, state] : reports) list.push_back(change);
    return list;
  }

  FakeClock clock;
  FakeSerial serial{clock};
  rig::Rig rig{serial, clock};
  std::vector<std::pair<rig::Change, rig::RigState>> reports;
};

TEST_F(Observed, SearchReportsEachPortTriedThenTheOpeningAndTheReset) {
  serial.ports[2] = {.openError = "", .answers = true, .identification = "KOVRA 78"};
  ASSERT_FALSE(rig.openComPort("AUTOMATIC"));
  using C = rig::Change;
  EXPECT_EQ(changes(),
            (std::vector<C>{C::Port, C::Port, C::Identification, C::Link, C::FoundBySearch,
                            C::Flash, C::Shutter, C::Flash, C::Shutter}));
  EXPECT_EQ(reports[1].second.port, 2);
  const rig::RigState& opened = reports[3].second;
  EXPECT_EQ(opened.link, rig::Link::OpenedBySearch);
  EXPECT_TRUE(opened.open);
  EXPECT_EQ(opened.device, "fake2");
  EXPECT_TRUE(opened.actionsEnabled);
  EXPECT_FALSE(opened.foundBySearch) << "told as a change of its own";
}

TEST_F(Observed, StateFollowsTheModulesReplyNotTheLastCaption) {
  serial.ports[1] = {};
  rig.openComPort("1");
  serial.relay[0] = true;  // switched on behind the rig's back
  reports.clear();
  rig.toggleFlash();
  EXPECT_EQ(rig.state().flash, rig::Flash::Off) << "read on, so switched off";
  EXPECT_FALSE(serial.relay[0]);
  EXPECT_EQ(changes(), (std::vector<rig::Change>{rig::Change::RelayReply, rig::Change::Flash}));
}

}  // namespace
