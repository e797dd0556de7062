#include <gtest/gtest.h>

#include <optional>

#include "boards/text/Rig.h"
#include "rig/Captions.h"
#include "support/Fakes.h"

using namespace fakes;

namespace {

class OpenByNumber : public ::testing::Test {
 protected:
  OpenByNumber() {
    serial.ports[1] = {};
    serial.ports[3] = {};
    serial.ports[7] = {};
    serial.ports[4] = {};
  }
  std::optional<rig::FailureKind> click(const std::string& choice) {
    return rig.openComPort(choice);
  }

  FakeClock clock;
  FakeSerial serial{clock};
  rig::Rig rig{serial, clock};
};

TEST_F(OpenByNumber, OpensTheChosenPortEnablesTheButtonsAndResetsTheRig) {
  click("3");

  EXPECT_TRUE(serial.portOpen());
  EXPECT_EQ(serial.portNumber(), 3);
  EXPECT_EQ(rig.state().link, rig::Link::Opened);
  EXPECT_TRUE(rig.state().actionsEnabled);
  EXPECT_EQ(rig.state().flash, rig::Flash::Off);
  EXPECT_EQ(rig.state().shutter, rig::Shutter::ClosedByReset);
  EXPECT_EQ(rig.state().foundBySearch, false);

  ASSERT_EQ(serial.sent.size(), 2U);
  EXPECT_EQ(serial.sent[0].bytes, "relay off 0\r");
  EXPECT_EQ(serial.sent[1].bytes, "relay off 1\r");
  EXPECT_EQ(serial.sent[0].port, 3);
  EXPECT_GE(serial.sent[1].at - serial.sent[0].at, 500ms);
}

TEST_F(OpenByNumber, ReadsTheSelectorTextAsANumber) {
  click(" 7 ");
  EXPECT_EQ(serial.portNumber(), 7);
  serial.setPortOpen(false);
  click("3.5");
  EXPECT_EQ(serial.portNumber(), 4);
  EXPECT_EQ(rig.state().link, rig::Link::Opened);
}

TEST_F(OpenByNumber, TextThatIsNoPortNumberChangesNothingButTheStatus) {
  for (const char* choice : {"Select Com Port", "automatic", "AUTOMATIC ", "99999", "0", "-3",
                             "2"}) {  // 0 and -3 are refused as port numbers, 2 is absent
    click(choice);
    EXPECT_EQ(rig.state().link, rig::Link::NotFound) << choice;
    EXPECT_FALSE(rig::captions::statusTip(rig.state()).empty()) << choice;
    EXPECT_FALSE(rig.state().actionsEnabled) << choice;
    EXPECT_FALSE(serial.portOpen()) << choice;
  }
  EXPECT_TRUE(serial.sent.empty());
  EXPECT_EQ(rig.state().flash, rig::Flash::Unknown);
  // A closed port keeps the new number when only the opening failed.
  EXPECT_EQ(serial.portNumber(), 2);
}

TEST_F(OpenByNumber, OpeningTellsWhetherAndWhyNoPortWasFound) {
  EXPECT_EQ(click("x"), rig::FailureKind::NoDevice) << "no port number: no device";
  EXPECT_EQ(click("2"), rig::FailureKind::NoDevice);
  EXPECT_EQ(click("3"), std::nullopt);
  serial.setPortOpen(false);
  serial.failOutputAt = static_cast<int>(serial.sent.size()) + 1;  // the reset's first write fails
  EXPECT_EQ(click("3"), rig::FailureKind::Other) << "a failed reset is no success";
}

TEST_F(OpenByNumber, PortHeldByAnotherProgramReportsTheReason) {
  serial.ports[5] = {.openError = "Device or resource busy",
                     .answers = true,
                     .identification = "",
                     .openKind = rig::FailureKind::Busy};
  EXPECT_EQ(click("5"), rig::FailureKind::Busy);
  EXPECT_EQ(rig.state().link, rig::Link::NotFound);
  EXPECT_NE(rig::captions::statusTip(rig.state()).find("Device or resource busy"),
            std::string::npos);
  EXPECT_NE(rig::captions::statusTip(rig.state()).find("port 5"), std::string::npos);
}

// The screen names the port in use: another number, or the same one, is opened afresh and reset.
TEST_F(OpenByNumber, OpeningWhileOpenClosesFirstThenOpensTheChosenPort) {
  click("3");
  serial.sent.clear();
  EXPECT_EQ(click("7"), std::nullopt);
  EXPECT_EQ(rig.state().link, rig::Link::Opened);
  EXPECT_TRUE(serial.portOpen());
  EXPECT_EQ(serial.portNumber(), 7);
  EXPECT_EQ(serial.commands(7), (std::vector<std::string>{"relay off 0", "relay off 1"}));
  EXPECT_TRUE(serial.commands(3).empty());

  const int opens = serial.opens;
  EXPECT_EQ(click("7"), std::nullopt);
  EXPECT_EQ(serial.opens, opens + 1);
  EXPECT_EQ(serial.commands(7).size(), 4U);

  // A choice that does not open leaves no port open behind the "Port Not Found".
  click("2");
  EXPECT_EQ(rig.state().link, rig::Link::NotFound);
  EXPECT_FALSE(serial.portOpen());
}

TEST_F(OpenByNumber, ModuleGoneDuringTheResetIsLostNotMissing) {
  serial.failOutputAt = 2;
  serial.failureCloses = true;
  EXPECT_EQ(click("3"), rig::FailureKind::DeviceGone);
  EXPECT_EQ(rig.state().link, rig::Link::Lost);
  EXPECT_NE(rig::captions::statusTip(rig.state()).find("port 3 (fake3): the device was removed"),
            std::string::npos);
}

TEST_F(OpenByNumber, FailedResetWriteIsReportedAndThePortStaysOpen) {
  serial.failOutputAt = 2;  // "relay off 1" cannot be written
  click("3");
  EXPECT_EQ(rig.state().link, rig::Link::NotFound);
  EXPECT_NE(rig::captions::statusTip(rig.state()).find("Input/output error"), std::string::npos);
  EXPECT_TRUE(serial.portOpen());
  EXPECT_TRUE(rig.state().actionsEnabled);
  EXPECT_EQ(serial.commands(), std::vector<std::string>{"relay off 0"});
}

TEST_F(OpenByNumber, LongOddInputIsShortenedInTheReason) {
  click("\x01" + std::string(5000, 'x'));
  EXPECT_EQ(rig.state().link, rig::Link::NotFound);
  EXPECT_LT(rig::captions::statusTip(rig.state()).size(), 100U);
  EXPECT_EQ(rig::captions::statusTip(rig.state()).find('\x01'), std::string::npos);
}

TEST_F(OpenByNumber, TypedTextIsShownBackAsTyped) {
  click("P\xc3\xb6rt\t3");
  EXPECT_NE(rig::captions::statusTip(rig.state()).find("\"P\xc3\xb6rt\\t3\""), std::string::npos)
      << rig::captions::statusTip(rig.state());
}

}  // namespace
