#include <gtest/gtest.h>

#include <optional>

#include "boards/text/Rig.h"
#include "rig/Captions.h"
#include "support/Fakes.h"

using namespace fakes;

namespace {

const std::vector<std::string> kResetTwice = {"relay off 0", "relay off 1", "relay off 0",
                                              "relay off 1"};

class Scan : public ::testing::Test {
 protected:
  void module(int port, std::string identification = "KOVRA 78") {
    serial.ports[port] = {
        .openError = "", .answers = true, .identification = std::move(identification)};
  }
  std::optional<rig::FailureKind> scan() { return rig.openComPort("AUTOMATIC"); }

  FakeClock clock;
  FakeSerial serial{clock};
  rig::Rig rig{serial, clock};
};

TEST_F(Scan, FindsTheModuleBehindAbsentPortsAndResetsTwice) {
  module(4);
  const auto start = clock.now();
  EXPECT_EQ(scan(), std::nullopt);

  EXPECT_TRUE(serial.portOpen());
  EXPECT_EQ(serial.portNumber(), 4);
  EXPECT_EQ(rig.state().port, 4);
  EXPECT_EQ(rig.state().foundBySearch, true);
  EXPECT_EQ(rig.state().link, rig::Link::OpenedBySearch);
  EXPECT_EQ(rig.state().identification, "id get\r\nKOVRA 78\r\n>");
  EXPECT_TRUE(rig.state().actionsEnabled);
  EXPECT_TRUE(rig.state().actionsEnabled);
  EXPECT_EQ(rig.state().flash, rig::Flash::Off);
  EXPECT_EQ(rig.state().shutter, rig::Shutter::ClosedByReset);

  std::vector<std::string> expected = {"id get"};
  expected.insert(expected.end(), kResetTwice.begin(), kResetTwice.end());
  EXPECT_EQ(serial.commands(4), expected);
  EXPECT_EQ(serial.commands().size(), expected.size());  // nothing went to any other port
  // Each reset pair is half a second apart; absent ports cost no waiting.
  EXPECT_GE(serial.sent[2].at - serial.sent[1].at, 500ms);
  EXPECT_GE(serial.sent[4].at - serial.sent[3].at, 500ms);
  EXPECT_LT(serial.sent[1].at - start, 100ms);
}

TEST_F(Scan, LowestAnsweringPortWinsAndLaterPortsAreNotTouched) {
  module(2);
  module(5);
  scan();
  EXPECT_EQ(serial.portNumber(), 2);
  EXPECT_EQ(rig.state().port, 2);
  EXPECT_TRUE(serial.commands(5).empty());
  EXPECT_EQ(serial.opens, 2);  // the question, then the reopening
}

TEST_F(Scan, ModuleBeyondPortFifteenIsNeverFound) {
  module(16);
  scan();
  EXPECT_EQ(rig.state().link, rig::Link::NotFound);
  EXPECT_FALSE(rig::captions::statusTip(rig.state()).empty());
  EXPECT_EQ(rig.state().port, 15);
  EXPECT_EQ(rig.state().foundBySearch, false);
  EXPECT_FALSE(serial.portOpen());
  EXPECT_FALSE(rig.state().actionsEnabled);
  EXPECT_TRUE(serial.sent.empty());
}

TEST_F(Scan, NoPortsAtAllEndsAtOnce) {
  const auto start = clock.now();
  EXPECT_EQ(scan(), rig::FailureKind::NoDevice);
  EXPECT_EQ(rig.state().link, rig::Link::NotFound);
  EXPECT_LT(clock.now() - start, 10ms);
}

TEST_F(Scan, SilentWrongOrLowerCaseAnswersDoNotMatch) {
  serial.ports[1] = {.openError = "", .answers = false, .identification = ""};
  module(2, "ACME relay board");
  module(3, "kovra 78");
  serial.ports[4] = {.openError = "Device or resource busy", .answers = true, .identification = ""};
  EXPECT_EQ(scan(), rig::FailureKind::NoAnswer) << "ports opened, but no module answered";
  EXPECT_EQ(rig.state().link, rig::Link::NotFound);
  EXPECT_FALSE(serial.portOpen());
  for (const int port : {1, 2, 3}) {
    EXPECT_EQ(serial.commands(port), std::vector<std::string>{"id get"}) << port;
  }
  // The last answer read stays in the identification box.
  EXPECT_EQ(rig.state().identification, "id get\r\nkovra 78\r\n>");
}

TEST_F(Scan, SilentPortIsWaitedOnAtMostHalfASecond) {
  serial.ports[1] = {.openError = "", .answers = false, .identification = ""};
  module(2);
  scan();
  ASSERT_EQ(serial.commands(2).front(), "id get");
  const auto& firstQuestion = serial.sent[0];
  const auto& secondQuestion = serial.sent[1];
  EXPECT_GE(secondQuestion.at - firstQuestion.at, 500ms);
  EXPECT_LT(secondQuestion.at - firstQuestion.at, 520ms);
}

TEST_F(Scan, MatchWhosePortCannotBeReopenedIsNoSuccess) {
  module(3);
  // The port opens for the question, then refuses the second opening.
  struct Refusing : FakeSerial {
    using FakeSerial::FakeSerial;
    void setPortOpen(bool open) override {
      if (open && opens == 1) throw rig::SerialError(3, "fake3", "Device or resource busy");
      FakeSerial::setPortOpen(open);
    }
  };
  Refusing refusing{clock};
  refusing.ports = serial.ports;
  rig::Rig scanning{refusing, clock};
  scanning.openComPort("AUTOMATIC");

  EXPECT_EQ(scanning.state().link, rig::Link::NotFound);
  EXPECT_NE(scanning.state().reason.find("busy"), std::string::npos);
  EXPECT_EQ(scanning.state().foundBySearch, false);
  EXPECT_FALSE(scanning.state().actionsEnabled);
  EXPECT_EQ(refusing.commands(), std::vector<std::string>{"id get"});  // no reset ran
}

// The end of an earlier reply still arriving when the port opens, or together with the question,
// is not the identification: the module's own answer behind it is found.
TEST_F(Scan, LeftoversOfEarlierRepliesAreNoIdentification) {
  module(2);
  struct Lagging : FakeSerial {
    using FakeSerial::FakeSerial;
    void setPortOpen(bool open) override {
      FakeSerial::setPortOpen(open);
      if (open) arrive(5ms, "ay off 1\r\n\r\n>");
    }
    void output(std::string_view text) override {
      if (text == "id get\r") arrive(1ms, "relay on 0\r\n\r\n>");
      FakeSerial::output(text);
    }
  };
  for (const bool lateTail : {false, true}) {
    Lagging lagging{clock};
    lagging.ports = serial.ports;
    lagging.replyDelay = lateTail ? 30ms : 5ms;
    rig::Rig scanning{lagging, clock};
    EXPECT_EQ(scanning.openComPort("AUTOMATIC"), std::nullopt);
    EXPECT_EQ(scanning.state().link, rig::Link::OpenedBySearch);
    EXPECT_EQ(scanning.state().identification, "id get\r\nKOVRA 78\r\n>");
  }
}

TEST_F(Scan, SecondScanWhileOpenFindsTheModuleOnItsRealPort) {
  serial.ports[1] = {.openError = "", .answers = false, .identification = ""};
  module(6);
  scan();
  ASSERT_EQ(serial.portNumber(), 6);
  serial.sent.clear();

  scan();
  EXPECT_TRUE(serial.portOpen());
  EXPECT_EQ(serial.portNumber(), 6);
  EXPECT_EQ(rig.state().port, 6);
  EXPECT_EQ(serial.commands(1), std::vector<std::string>{"id get"});  // port 1 really tried
}

TEST_F(Scan, FailedResetInsideTheScanIsLeftToTheClickToReport) {
  module(2);
  serial.failOutputAt = 2;  // the scan's "relay off 0"
  scan();
  EXPECT_EQ(rig.state().link, rig::Link::OpenedBySearch);
  // The click's own reset ran and went through.
  EXPECT_EQ(serial.commands(2), (std::vector<std::string>{"id get", "relay off 0", "relay off 1"}));
}

TEST_F(Scan, ModuleGoneDuringTheResetIsLostNotMissing) {
  module(2);
  serial.failureCloses = true;
  for (const int failing : {2, 4}) {  // the scan's reset, the click's reset
    serial.failOutputAt = failing;
    serial.sent.clear();
    EXPECT_EQ(scan(), rig::FailureKind::DeviceGone) << failing;
    EXPECT_EQ(rig.state().link, rig::Link::Lost) << failing;
    EXPECT_NE(rig::captions::statusTip(rig.state()).find("removed"), std::string::npos);
  }
}

TEST_F(Scan, NothingFoundNamesThePortsItCouldNotTryAndWhy) {
  const auto refusing = [](std::string reason, rig::FailureKind kind) {
    return FakePort{
        .openError = std::move(reason), .answers = true, .identification = "", .openKind = kind};
  };
  serial.ports[2] =
      refusing("Device or resource busy (in use by another program)", rig::FailureKind::Busy);
  serial.ports[5] = refusing("Permission denied: is your user in the dialout group?",
                             rig::FailureKind::Permission);
  serial.ports[7] = refusing("odd failure", rig::FailureKind::Other);
  EXPECT_EQ(scan(), rig::FailureKind::NoDevice);
  EXPECT_EQ(rig::captions::statusTip(rig.state()),
            "no relay module answered on ports 1 to 15; could not try port 2 (fake2): busy, "
            "port 5 (fake5): permission denied, port 7 (fake7): odd failure");
}

TEST_F(Scan, ClickResetFailureIsRaisedToTheWindow) {
  module(2);
  serial.failOutputAt = 4;  // the click's own "relay off 0"
  EXPECT_THROW(rig.openComPort("AUTOMATIC"), rig::SerialError);
  EXPECT_EQ(rig.state().link, rig::Link::OpenedBySearch);
}

}  // namespace
