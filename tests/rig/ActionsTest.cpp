#include <gtest/gtest.h>

#include <csignal>

#include "boards/text/Rig.h"
#include "rig/Captions.h"
#include "rig/Protocol.h"
#include "rig/SystemClock.h"
#include "support/Fakes.h"

using namespace fakes;

namespace {

using Texts = std::vector<std::string>;

class Actions : public ::testing::Test {
 protected:
  Actions() {
    serial.ports[1] = {};
    rig.openComPort("1");
    serial.sent.clear();
  }

  FakeClock clock;
  FakeSerial serial{clock};
  rig::Rig rig{serial, clock};
};

TEST_F(Actions, ToggleDecidesFromTheReplyAlone) {
  struct Case {
    std::string reply;
    const char* command;
    rig::Flash flash;
  };
  const Case cases[] = {
      {"relay read 0\r\noff\r\n>", "relay on 0", rig::Flash::On},
      {"relay read 0\r\non\r\n>", "relay off 0", rig::Flash::Off},
  };
  for (const Case& c : cases) {
    serial.sent.clear();
    serial.scriptedReplies = {c.reply};
    rig.toggleFlash();
    EXPECT_EQ(serial.commands(), (Texts{"relay read 0", c.command})) << c.reply;
    EXPECT_EQ(rig.state().flash, c.flash) << c.reply;
    EXPECT_EQ(rig.state().relayReply, c.reply);
  }

  // Late answers to earlier commands in front of the reply are not part of it.
  for (const std::string leftover : {"relay off 1\r\n\r\n>\r\n\r\n>", "ad 0\r\non\r\n>"}) {
    serial.relay[0] = false;
    serial.scriptedReplies = {leftover + "relay read 0\r\noff\r\n>"};
    rig.toggleFlash();
    EXPECT_TRUE(serial.relay[0]) << leftover;
    EXPECT_EQ(rig.state().relayReply, "relay read 0\r\noff\r\n>");
  }
}

TEST_F(Actions, ReplyThatIsNoStateFailsTheActionAndNothingIsSwitchedOn) {
  using rig::FailureKind;
  const std::pair<std::string, FailureKind> cases[] = {
      {"\r\noff\r\n>", FailureKind::NotUnderstood},                              // no echo
      {"relay read 1\r\noff\r\n>", FailureKind::NotUnderstood},                  // other relay's
      {"relay read 0\r\nrelay read 0\r\noff\r\n>", FailureKind::NotUnderstood},  // two echoes
      {"relay read 0\r\nOFF\r\n>", FailureKind::NotUnderstood},
      {"relay read 0\r\nonline\r\n>", FailureKind::NotUnderstood},
      {"relay read 0\r\noff\r\n>relay read 0\r\non\r\n>", FailureKind::NotUnderstood},
      {"relay read 0\r\n", FailureKind::NoAnswer},  // the state word never came
  };
  for (const auto& [reply, kind] : cases) {
    serial.sent.clear();
    serial.scriptedReplies = {reply};
    try {
      rig.toggleFlash();
      ADD_FAILURE() << "went through on " << rig::protocol::escaped(reply);
    } catch (const rig::SerialError& error) {
      EXPECT_EQ(error.kind(), kind) << error.reason();
      EXPECT_NE(error.reason().find(rig::protocol::escaped(reply, true)), std::string::npos);
    }
    EXPECT_EQ(serial.commands(), Texts{"relay read 0"});
    EXPECT_EQ(rig.state().relayReply, reply);
  }
  // The pulse does not open the shutter on such a reply, and still ends it commanded off.
  serial.sent.clear();
  serial.scriptedReplies = {"relay read 1\r\nERROR\r\n>"};
  EXPECT_THROW(rig.pulseShutter(), rig::SerialError);
  EXPECT_EQ(serial.commands(), (Texts{"relay read 1", "relay off 1"}));
  EXPECT_EQ(rig.state().shutter, rig::Shutter::Closed);
}

TEST_F(Actions, ToggleFollowsTheModuleAcrossActions) {
  rig.toggleFlash();
  EXPECT_TRUE(serial.relay[0]);
  EXPECT_EQ(rig.state().flash, rig::Flash::On);
  rig.toggleFlash();
  EXPECT_FALSE(serial.relay[0]);
  EXPECT_EQ(rig.state().flash, rig::Flash::Off);
  EXPECT_EQ(serial.switching(), (Texts{"relay on 0", "relay off 0"}));
}

TEST_F(Actions, PulseHoldsTheShutterOpenHalfASecond) {
  rig.pulseShutter();
  EXPECT_EQ(serial.commands(), (Texts{"relay read 1", "relay on 1", "relay off 1"}));
  EXPECT_GE(serial.sent[2].at - serial.sent[1].at, 500ms);
  EXPECT_EQ(rig.state().shutter, rig::Shutter::Closed);
  EXPECT_FALSE(serial.relay[1]);
}

TEST_F(Actions, PulsesAndPausesOfTheirOwnAreHeldAndAStopBetweenStepsEndsSoundly) {
  rig::Timings timings;
  timings.pulse = 3600s;
  rig.pulseShutter(timings);
  EXPECT_GE(serial.sent[2].at - serial.sent[1].at, 3600s);
  EXPECT_LT(serial.sent[2].at - serial.sent[1].at, 3600s + 1ms);

  // Asked to stop once the flash is on: the pulse and toggle done end, then the flash goes back.
  serial.sent.clear();
  timings.pulse = 50ms;
  timings.pause = 2s;
  timings.stopRequested = [this] { return serial.relay[0]; };
  try {
    rig.runTwoShotSequence(timings);
    ADD_FAILURE() << "the sequence ran through its stop";
  } catch (const rig::CutShort& cut) {
    EXPECT_EQ(cut.why, rig::CutShort::Why::StopAsked);
  }
  EXPECT_EQ(serial.commands(), (Texts{"relay read 1", "relay on 1", "relay off 1", "relay read 0",
                                      "relay on 0", "relay off 1", "relay off 0"}));
  EXPECT_GE(serial.sent[2].at - serial.sent[1].at, 50ms);
  EXPECT_GE(serial.sent[3].at - serial.sent[2].at, 2s);
  EXPECT_FALSE(serial.relay[0]);
  EXPECT_FALSE(serial.relay[1]);
}

TEST_F(Actions, PulseOfAShutterReadingOnStillEndsWithItOff) {
  serial.scriptedReplies = {"relay read 1\r\non\r\n>"};
  rig.pulseShutter();
  EXPECT_EQ(serial.commands(), (Texts{"relay read 1", "relay off 1"}));
  EXPECT_GE(serial.sent[1].at - serial.sent[0].at, 500ms);
  EXPECT_EQ(rig.state().shutter, rig::Shutter::Closed);
}

TEST_F(Actions, SilentModuleFailsTheQueryAfterTwoSendsAndNothingIsSwitchedOnAGuess) {
  serial.scriptedReplies = {"", ""};
  const auto start = clock.now();
  try {
    rig.toggleFlash();
    FAIL() << "the toggle went through without an answer";
  } catch (const rig::SerialError& error) {
    EXPECT_EQ(error.reason(), "the relay module did not answer");
    EXPECT_EQ(error.kind(), rig::FailureKind::NoAnswer);
    EXPECT_EQ(error.port(), 1);
  }
  EXPECT_EQ(serial.commands(), (Texts{"relay read 0", "relay read 0"}));
  // Each send waited about a second for its answer.
  EXPECT_GE(serial.sent[1].at - serial.sent[0].at, 1s);
  EXPECT_LT(clock.now() - start, 2500ms);
  EXPECT_EQ(rig.state().relayReply, "");

  serial.sent.clear();
  serial.scriptedReplies = {"", ""};
  EXPECT_THROW(rig.pulseShutter(), rig::SerialError);
  EXPECT_EQ(serial.commands(), (Texts{"relay read 1", "relay read 1", "relay off 1"}));
  EXPECT_EQ(rig.state().shutter, rig::Shutter::Closed);
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
  EXPECT_EQ(rig.state().relayReply.rfind("relay read 0\r\non\r\n", 0), 0U);
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
  EXPECT_EQ(rig.state().relayReply.rfind("relay read 0\r\noff\r\n", 0), 0U);
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
    EXPECT_EQ(rig.state().flash, flashOn ? rig::Flash::On : rig::Flash::Off);
    EXPECT_EQ(rig.state().shutter, rig::Shutter::Closed);
    EXPECT_EQ(rig.state().relayReply,
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
    rig::Rig onLine{line, clock};
    EXPECT_THROW(onLine.runTwoShotSequence(), rig::SerialError) << failing;
    EXPECT_EQ(line.sent.size(), static_cast<std::size_t>(failing - 1)) << failing;
  }
}

TEST_F(Actions, SequenceStoppedAnywhereEndsWithTheShutterOffAndTheFlashAsItFoundIt) {
  for (const bool flashOn : {false, true}) {
    bool ranThrough = false;
    for (int stopAt = 1; !ranThrough; ++stopAt) {
      ASSERT_LT(stopAt, 10000);
      StoppingClock stopping(stopAt);
      FakeSerial line{stopping};
      line.ports = serial.ports;
      line.setPortOpen(true);
      line.relay[0] = flashOn;
      rig::Rig onLine{line, stopping};
      try {
        onLine.runTwoShotSequence();
        ranThrough = true;
      } catch (const rig::CutShort&) {
      }
      EXPECT_EQ(line.relay[0], flashOn) << stopAt;
      EXPECT_FALSE(line.relay[1]) << stopAt;
    }
  }
}

TEST_F(Actions, SequenceFailingAfterTheFirstToggleRestoresTheFlash) {
  // The second toggle's reply cannot be read: the flash goes back off, the shutter is ended.
  serial.scriptedReplies = {"relay read 1\r\noff\r\n>", "relay read 0\r\noff\r\n>",
                            "relay read 1\r\noff\r\n>", "relay read 0\r\nERROR\r\n>"};
  EXPECT_THROW(rig.runTwoShotSequence(), rig::SerialError);
  EXPECT_EQ(serial.switching(), (Texts{"relay on 1", "relay off 1", "relay on 0", "relay on 1",
                                       "relay off 1", "relay off 1", "relay off 0"}));
  EXPECT_FALSE(serial.relay[0]);
  EXPECT_EQ(rig.state().flash, rig::Flash::Off);
}

TEST_F(Actions, ClosedPortFailsAtTheFirstReadAndSendsNothing) {
  serial.setPortOpen(false);
  EXPECT_THROW(rig.runTwoShotSequence(), rig::SerialError);
  EXPECT_TRUE(serial.sent.empty());
}

}  // namespace
