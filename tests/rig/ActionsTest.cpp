#include <gtest/gtest.h>

#include "Fakes.h"
#include "rig/Rig.h"

using namespace fakes;
using rig::Control;

namespace {

using Texts = std::vector<std::string>;

class Actions : public ::testing::Test {
 protected:
  Actions() {
    serial.ports[1] = {};
    panel.setText(Control::Combo1, "1");
    rig.openComPort();
    serial.sent.clear();
  }

  FakeClock clock;
  FakePanel panel;
  FakeSerial serial{clock};
  rig::Rig rig{serial, panel, clock};
};

TEST_F(Actions, ToggleDecidesFromTheReplyAlone) {
  struct Case {
    std::string reply;
    const char* command;
    const char* caption;
  };
  const Case cases[] = {
      {"relay read 0\r\noff\r\n>", "relay on 0", "Flash 2"},
      {"relay read 0\r\non\r\n>", "relay off 0", "Flash 1"},
      {"relay read 0\r\nOFF\r\n>", "relay off 0", "Flash 1"},
      {"ad 0\r\noff\r\n>", "relay off 0", "Flash 1"},  // "off" elsewhere: counts as on
      {"garbage", "relay off 0", "Flash 1"},
  };
  for (const Case& c : cases) {
    serial.sent.clear();
    serial.scriptedReplies = {c.reply};
    rig.toggleFlash();
    EXPECT_EQ(serial.commands(), (Texts{"relay read 0", c.command})) << c.reply;
    EXPECT_EQ(panel.text(Control::Command5), c.caption) << c.reply;
    EXPECT_EQ(panel.text(Control::Text4), c.reply);
  }
}

TEST_F(Actions, ToggleFollowsTheModuleAcrossActions) {
  rig.toggleFlash();
  EXPECT_TRUE(serial.relay[0]);
  EXPECT_EQ(panel.text(Control::Command5), "Flash 2");
  rig.toggleFlash();
  EXPECT_FALSE(serial.relay[0]);
  EXPECT_EQ(panel.text(Control::Command5), "Flash 1");
  EXPECT_EQ(serial.switching(), (Texts{"relay on 0", "relay off 0"}));
}

TEST_F(Actions, PulseHoldsTheShutterOpenHalfASecond) {
  rig.pulseShutter();
  EXPECT_EQ(serial.commands(), (Texts{"relay read 1", "relay on 1", "relay off 1"}));
  EXPECT_GE(serial.sent[2].at - serial.sent[1].at, 500ms);
  EXPECT_EQ(panel.text(Control::Command6), "Camera Shutter");
  EXPECT_FALSE(serial.relay[1]);
}

TEST_F(Actions, PulseOfAShutterNotReadingOffStillEndsWithItOff) {
  for (const std::string reply : {"relay read 1\r\non\r\n>", "relay read 1\r\n"}) {
    serial.sent.clear();
    serial.scriptedReplies = {reply};
    panel.setText(Control::Command6, "Shutter");
    rig.pulseShutter();
    EXPECT_EQ(serial.commands(), (Texts{"relay read 1", "relay off 1"}));
    EXPECT_GE(serial.sent[1].at - serial.sent[0].at, 500ms);
    EXPECT_EQ(panel.text(Control::Command6), "Camera Shutter");
    EXPECT_EQ(panel.text(Control::Text4), reply);
  }
}

TEST_F(Actions, SilentModuleFailsTheQueryAfterThreeSendsAndNothingIsSwitchedOnAGuess) {
  serial.scriptedReplies = {"", "", ""};
  const auto start = clock.now();
  try {
    rig.toggleFlash();
    FAIL() << "the toggle went through without an answer";
  } catch (const rig::SerialError& error) {
    EXPECT_EQ(error.reason(), "the relay module did not answer");
    EXPECT_EQ(error.port(), 1);
  }
  EXPECT_EQ(serial.commands(), (Texts{"relay read 0", "relay read 0", "relay read 0"}));
  EXPECT_LT(clock.now() - start, 2s);
  EXPECT_EQ(panel.text(Control::Text4), "Text4");

  serial.sent.clear();
  serial.scriptedReplies = {"", "", ""};
  panel.setText(Control::Command6, "Shutter");
  EXPECT_THROW(rig.pulseShutter(), rig::SerialError);
  EXPECT_EQ(serial.commands(),
            (Texts{"relay read 1", "relay read 1", "relay read 1", "relay off 1"}));
  EXPECT_EQ(panel.text(Control::Command6), "Camera Shutter");
}

TEST_F(Actions, LateButWholeAnswerIsUsed) {
  serial.scriptedReplies = {"", "relay read 0\r\noff\r\n>"};
  rig.toggleFlash();
  EXPECT_EQ(serial.commands(), (Texts{"relay read 0", "relay read 0", "relay on 0"}));
}

TEST_F(Actions, ReplyArrivingInPiecesIsReadWhole) {
  serial.byteTime = 1040us;  // 9600 baud
  serial.replyDelay = 1ms;
  for (int i = 0; i < 4; ++i) rig.toggleFlash();
  EXPECT_EQ(serial.switching(), (Texts{"relay on 0", "relay off 0", "relay on 0", "relay off 0"}));
  EXPECT_EQ(serial.commands().size(), 8U);  // one query each: no flooding
  EXPECT_EQ(panel.text(Control::Text4).rfind("relay read 0\r\non\r\n", 0), 0U);
}

TEST_F(Actions, LeftoversOfEarlierCommandsAreDroppedBeforeTheQuery) {
  serial.byteTime = 1040us;
  serial.replyDelay = 1ms;
  // The answer to the reset's "relay off 1" is still arriving when the toggle starts.
  serial.arrive(0ms, "relay of");
  serial.arrive(3ms, "f 1\r\n");
  serial.arrive(8ms, "\r\n>");
  rig.toggleFlash();
  EXPECT_EQ(serial.switching(), Texts{"relay on 0"});
  EXPECT_EQ(panel.text(Control::Text4).rfind("relay read 0\r\noff\r\n", 0), 0U);
}

TEST_F(Actions, SequenceSendsTheTwoShotsAndRestoresTheFlash) {
  for (const bool flashOn : {false, true}) {
    serial.sent.clear();
    serial.relay[0] = flashOn;
    rig.runTwoShotSequence();

    const Texts expected = flashOn ? Texts{"relay on 1", "relay off 1", "relay off 0",
                                           "relay on 1", "relay off 1", "relay on 0"}
                                   : Texts{"relay on 1", "relay off 1", "relay on 0",
                                           "relay on 1", "relay off 1", "relay off 0"};
    EXPECT_EQ(serial.switching(), expected);
    EXPECT_EQ(serial.relay[0], flashOn);
    EXPECT_FALSE(serial.relay[1]);
    EXPECT_EQ(panel.text(Control::Command5), flashOn ? "Flash 2" : "Flash 1");
    EXPECT_EQ(panel.text(Control::Command6), "Camera Shutter");
    EXPECT_EQ(panel.text(Control::Text4),
              flashOn ? "relay read 0\r\noff\r\n>" : "relay read 0\r\non\r\n>");

    // Half a second at least between consecutive switching commands.
    const rig::Clock::time_point* previous = nullptr;
    for (const Sent& s : serial.sent) {
      if (s.bytes.rfind("relay read", 0) == 0) continue;
      if (previous != nullptr) {
        EXPECT_GE(s.at - *previous, 500ms) << s.bytes;
      }
      previous = &s.at;
    }
  }
}

TEST_F(Actions, SequenceStopsAtTheFirstFailingStep) {
  // The sequence writes 10 lines when every query is answered at once; fail each in turn.
  for (int failing = 1; failing <= 10; ++failing) {
    FakeSerial line{clock};
    line.ports = serial.ports;
    line.setPortOpen(true);
    line.failOutputAt = failing;
    line.failAll = true;  // the line is gone from then on
    rig::Rig onLine{line, panel, clock};
    EXPECT_THROW(onLine.runTwoShotSequence(), rig::SerialError) << failing;
    EXPECT_EQ(line.sent.size(), static_cast<std::size_t>(failing - 1)) << failing;
  }
}

TEST_F(Actions, ClosedPortFailsAtTheFirstReadAndSendsNothing) {
  serial.setPortOpen(false);
  EXPECT_THROW(rig.runTwoShotSequence(), rig::SerialError);
  EXPECT_TRUE(serial.sent.empty());
}

}  // namespace
