#include <gtest/gtest.h>

#include <csignal>
#include <exception>
#include <optional>
#include <stdexcept>
#include <string>

#include "boards/text/Rig.h"
#include "rig/Failure.h"
#include "support/Fakes.h"

using rig::CutShort;
using rig::Failure;
using rig::FailureKind;

namespace {

template <typename Thrown>
Failure failureOfThrown(const Thrown& thrown) {
  return rig::failureOf(std::make_exception_ptr(thrown));
}

// Every way an action can end but as asked comes out as one failure, with the words it had.
TEST(FailureOf, EveryEndingBecomesOneFailureWithItsWords) {
  const Failure board = failureOfThrown(
      rig::failed(FailureKind::DeviceGone, "hid:AB12: device went away", "hid:AB12"));
  EXPECT_EQ(board.kind, FailureKind::DeviceGone);
  EXPECT_FALSE(board.port) << "a board's failure names no port";
  EXPECT_EQ(board.device, "hid:AB12");
  EXPECT_EQ(board.reason, "hid:AB12: device went away");

  // The serial line's failure keeps its port and device; its reason stays without them.
  const Failure line = failureOfThrown(
      rig::SerialError(3, "/dev/ttyUSB0", "Permission denied", FailureKind::Permission));
  EXPECT_EQ(line.kind, FailureKind::Permission);
  EXPECT_EQ(line.port, 3);
  EXPECT_EQ(line.device, "/dev/ttyUSB0");
  EXPECT_EQ(line.reason, "Permission denied");

  const Failure mistake = failureOfThrown(std::out_of_range("relay 5 on a board with 2 relays"));
  EXPECT_EQ(mistake.kind, FailureKind::Other);
  EXPECT_EQ(mistake.reason, "relay 5 on a board with 2 relays");

  const Failure odd = failureOfThrown(42);
  EXPECT_EQ(odd.kind, FailureKind::Other);
  EXPECT_EQ(odd.reason, "unknown error");
}

// A cut short is caught as a std::exception too, but it is never taken for a board's failure:
// whatever its reason, it is a stop, and the program's ending says so in the answer's words.
TEST(FailureOf, ACutShortIsAStopWhateverEndedIt) {
  for (const CutShort& cut : {CutShort(CutShort::Why::ServiceStopping), CutShort::bySignal(SIGTERM),
                              CutShort::bySignal(-1)}) {
    const Failure stopped = failureOfThrown(cut);
    EXPECT_EQ(stopped.kind, FailureKind::Stopped);
    EXPECT_EQ(stopped.reason, "stopped early: the program is ending");
    EXPECT_FALSE(stopped.port);
  }
  const Failure asked = failureOfThrown(CutShort(CutShort::Why::StopAsked));
  EXPECT_EQ(asked.kind, FailureKind::Stopped);
  EXPECT_EQ(asked.reason, "stopped early as asked");
}

// An opening whose wait is cut short (Ctrl-C during the search or the reset) ends as a cut
// short: not as a port not found, which would be told and exit as a failure of the port.
TEST(FailureOf, AnOpeningCutShortIsNoPortNotFound) {
  for (const int stopAt : {1, 3, 6}) {
    fakes::StoppingClock clock(stopAt);
    fakes::FakeSerial serial{clock};
    serial.ports[2] = {.openError = "", .answers = true, .identification = "KOVRA 78"};
    rig::Rig rig{serial, clock};
    EXPECT_THROW(rig.openComPort("AUTOMATIC"), CutShort) << "stopped at wait " << stopAt;
    EXPECT_NE(rig.state().link, rig::Link::NotFound) << "stopped at wait " << stopAt;
  }
  fakes::StoppingClock clock(1);
  fakes::FakeSerial serial{clock};
  serial.ports[1] = {.openError = "", .answers = true, .identification = "KOVRA 78"};
  rig::Rig rig{serial, clock};
  EXPECT_THROW(rig.openComPort("1"), CutShort);
  EXPECT_NE(rig.state().link, rig::Link::NotFound);
}

// An opening returns its failure whole: the reason is the one the status box shows, and the port
// and device are those it names, so no caller has to read them back from the state.
TEST(OpeningFailure, CarriesTheReasonTheStatusShows) {
  fakes::FakeClock clock;
  fakes::FakeSerial serial{clock};
  serial.ports[1] = {};
  serial.ports[5] = {.openError = "Device or resource busy",
                     .answers = true,
                     .identification = "",
                     .openKind = FailureKind::Busy};
  rig::Rig rig{serial, clock};
  const auto expectShown = [&rig](const std::optional<Failure>& failure, FailureKind kind) {
    ASSERT_TRUE(failure);
    EXPECT_EQ(failure->kind, kind);
    EXPECT_EQ(failure->reason, rig.state().reason);
    EXPECT_EQ(failure->port, rig.state().port);
    EXPECT_EQ(failure->device, rig.state().device);
  };

  const std::optional<Failure> absent = rig.openComPort("2");
  expectShown(absent, FailureKind::NoDevice);
  EXPECT_EQ(rig.state().link, rig::Link::NotFound);
  EXPECT_EQ(absent->port, 2);

  const std::optional<Failure> busy = rig.openComPort("5");
  expectShown(busy, FailureKind::Busy);
  EXPECT_NE(busy->reason.find("port 5 (fake5): Device or resource busy"), std::string::npos);

  // A reopening that fails keeps "Port Lost" and adds why to the loss's words.
  ASSERT_EQ(rig.openComPort("1"), std::nullopt);
  rig.showLost("port 1 (fake1): the device was removed");
  serial.setPortOpen(false);
  const std::optional<Failure> reopened = rig.reopen(5, {}, "lost");
  expectShown(reopened, FailureKind::Busy);
  EXPECT_EQ(reopened->reason, "lost; reopening failed: Device or resource busy");
  EXPECT_EQ(rig.state().link, rig::Link::Lost);
}

}  // namespace
