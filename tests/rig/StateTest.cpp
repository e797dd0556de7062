#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <fstream>
#include <map>
#include <regex>
#include <string>
#include <utility>
#include <vector>

#include "boards/text/Rig.h"
#include "rig/Captions.h"
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
        FailureKind::TooFarAhead, FailureKind::ClockUnsynchronized, FailureKind::Disarmed,
        FailureKind::Ambiguous, FailureKind::BadRequest}) {
    EXPECT_EQ(rig::kindFromName(rig::kindName(kind)), kind) << rig::kindName(kind);
  }
  EXPECT_EQ(rig::kindFromName("no-such-kind"), FailureKind::Other);
}

// The kinds of each exit status, as the scripting guide's table gives them: "| 2 | ... | `busy`,
// `ambiguous` |". Each row's last cell names the kinds that end with its status.
std::map<std::string, int> guideStatuses() {
  std::ifstream guide(SCRIPTING_GUIDE);
  std::map<std::string, int> statuses;
  const std::regex row(R"(^\| (\d+) \|.*\|([^|]*)\|\s*$)");
  const std::regex kind("`([a-z-]+)`");
  for (std::string line; std::getline(guide, line);) {
    std::smatch cells;
    if (!std::regex_match(line, cells, row)) continue;
    const std::string kinds = cells[2];
    for (std::sregex_iterator it(kinds.begin(), kinds.end(), kind), end; it != end; ++it) {
      statuses[(*it)[1]] = std::stoi(cells[1]);
    }
  }
  return statuses;
}

// The statuses the scripting guide lists, for every way an action can end.
TEST(ExitStatus, EveryEndingHasItsStatus) {
  using rig::FailureKind;
  using rig::Link;
  const std::map<std::string, int> statuses = guideStatuses();
  ASSERT_EQ(statuses.size(), 19U) << "every kind in one row of the guide's table";
  for (const auto& [name, status] : statuses) {
    const FailureKind kind = rig::kindFromName(name);
    EXPECT_EQ(rig::kindName(kind), name) << "the guide names a kind the program does not have";
    EXPECT_EQ(rig::exitStatus({.failure = kind}), status) << name;
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
