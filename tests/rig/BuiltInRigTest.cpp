#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "boards/text/Rig.h"
#include "boards/text/TextBoard.h"
#include "rig/RoleRig.h"
#include "support/Fakes.h"

using namespace fakes;
using namespace std::chrono_literals;

namespace {

// The panel's four actions, on rig::Rig or on the engine running builtInRig().
class Actions {
 public:
  virtual ~Actions() = default;
  virtual void reset() = 0;
  virtual void flash() = 0;
  virtual void pulse(const rig::Timings& timings) = 0;
  virtual void sequence(const rig::Timings& timings) = 0;
};

class PanelActions : public Actions {
 public:
  PanelActions(FakeSerial& serial, FakeClock& clock) : rig_(serial, clock) {}
  void reset() override { rig_.resetRig(); }
  void flash() override { rig_.toggleFlash(); }
  void pulse(const rig::Timings& timings) override { rig_.pulseShutter(timings); }
  void sequence(const rig::Timings& timings) override { rig_.runTwoShotSequence(timings); }

 private:
  rig::Rig rig_;
};

class EngineActions : public Actions {
 public:
  EngineActions(FakeSerial& serial, FakeClock& clock)
      : board_(serial, clock), rig_(rig::builtInRig(), {{"module", &board_}}, clock) {}
  void reset() override { rig_.reset(); }
  void flash() override { rig_.flash(); }
  void pulse(const rig::Timings& timings) override { rig_.shutter({}, timings); }
  void sequence(const rig::Timings& timings) override { rig_.sequence(timings); }

 private:
  rig::TextBoard board_;
  rig::RoleRig rig_;
};

// What the module saw (each command with its microsecond from the start), how the action ended
// and the relays it was left with.
struct Outcome {
  std::vector<std::string> line;
  std::string ending;
  bool relays[2] = {};
};

using Prepare = std::function<void(FakeSerial&)>;
using Act = std::function<void(Actions&, FakeClock&)>;

Outcome run(bool engine, const Prepare& prepare, const Act& act, int stopAt) {
  StoppingClock clock(stopAt);
  FakeSerial serial{clock};
  serial.ports[1] = {};
  serial.setPortOpen(true);
  prepare(serial);
  std::unique_ptr<Actions> actions;
  if (engine) {
    actions = std::make_unique<EngineActions>(serial, clock);
  } else {
    actions = std::make_unique<PanelActions>(serial, clock);
  }
  Outcome outcome;
  try {
    act(*actions, clock);
    outcome.ending = "done";
  } catch (const rig::SerialError& error) {
    outcome.ending = std::to_string(static_cast<int>(error.kind())) + " " + error.what();
  } catch (const rig::CutShort& cut) {
    outcome.ending = "cut short " + std::to_string(static_cast<int>(cut.why));
  }
  for (const Sent& sent : serial.sent) {
    const auto us = std::chrono::duration_cast<std::chrono::microseconds>(sent.at - clock.start());
    outcome.line.push_back(std::to_string(us.count()) + " " + sent.bytes);
  }
  outcome.relays[0] = serial.relay[0];
  outcome.relays[1] = serial.relay[1];
  return outcome;
}

// The engine with the built-in description puts the panel's bytes on the line at the panel's
// times, and ends as the panel does.
void expectSame(const std::string& what, const Prepare& prepare, const Act& act, int stopAt = 0) {
  const Outcome panel = run(false, prepare, act, stopAt);
  const Outcome engine = run(true, prepare, act, stopAt);
  EXPECT_EQ(engine.line, panel.line) << what;
  EXPECT_EQ(engine.ending, panel.ending) << what;
  EXPECT_EQ(engine.relays[0], panel.relays[0]) << what;
  EXPECT_EQ(engine.relays[1], panel.relays[1]) << what;
}

const Prepare kAsItIs = [](FakeSerial&) {};

rig::Timings armedIn(FakeClock& clock, rig::Clock::duration in, bool disarm = false,
                     bool commit = true) {
  rig::Timings timings;
  timings.armed =
      rig::Arming{clock.realNow() + in, [disarm] { return disarm; }, [commit] { return commit; }};
  return timings;
}

TEST(BuiltInRig, ResetFlashAndPulsesAreThePanels) {
  expectSame("reset", kAsItIs, [](Actions& a, FakeClock&) { a.reset(); });
  for (const bool on : {false, true}) {
    const Prepare both = [on](FakeSerial& s) { s.relay[0] = s.relay[1] = on; };
    expectSame("flash", both, [](Actions& a, FakeClock&) { a.flash(); });
    expectSame("pulse", both, [](Actions& a, FakeClock&) { a.pulse({}); });
    expectSame("armed pulse", both, [](Actions& a, FakeClock& c) { a.pulse(armedIn(c, 2s)); });
  }
  rig::Timings bulb;
  bulb.pulse = 1h;
  expectSame("bulb", kAsItIs, [&bulb](Actions& a, FakeClock&) { a.pulse(bulb); });
  // No answer to the reading: nothing switched on, the shutter still commanded off.
  expectSame(
      "silent",
      [](FakeSerial& s) {
        s.scriptedReplies = {"", ""};
      },
      [](Actions& a, FakeClock&) { a.pulse({}); });
  expectSame(
      "no state", [](FakeSerial& s) { s.scriptedReplies = {"relay read 1\r\nERROR\r\n>"}; },
      [](Actions& a, FakeClock&) { a.pulse({}); });
}

TEST(BuiltInRig, ArmedShotsRefusedOrDisarmedPutNothingOnTheLine) {
  expectSame("too near", kAsItIs, [](Actions& a, FakeClock& c) { a.pulse(armedIn(c, 50ms)); });
  expectSame("passed", kAsItIs, [](Actions& a, FakeClock& c) { a.pulse(armedIn(c, -1s)); });
  expectSame("disarmed", kAsItIs,
             [](Actions& a, FakeClock& c) { a.sequence(armedIn(c, 2s, true)); });
  // Disarmed after the reading, before the cut-off: the reading went out, no switch did.
  expectSame("not committed", kAsItIs,
             [](Actions& a, FakeClock& c) { a.pulse(armedIn(c, 2s, false, false)); });
  expectSame("not committed sequence", kAsItIs,
             [](Actions& a, FakeClock& c) { a.sequence(armedIn(c, 2s, false, false)); });
  // The reading's answer comes after the switch was due: refused, and the shutter ended.
  expectSame(
      "answer too late", [](FakeSerial& s) { s.replyDelay = 400ms; },
      [](Actions& a, FakeClock& c) { a.pulse(armedIn(c, 2s)); });
}

TEST(BuiltInRig, SequencesEndedAnyWayAreThePanels) {
  for (const bool flashOn : {false, true}) {
    const Prepare flash = [flashOn](FakeSerial& s) { s.relay[0] = flashOn; };
    expectSame("sequence", flash, [](Actions& a, FakeClock&) { a.sequence({}); });
    expectSame("armed sequence", flash,
               [](Actions& a, FakeClock& c) { a.sequence(armedIn(c, 3s)); });
    // A stop asked once the flash has switched: the steps done end, the flash goes back.
    expectSame("stopped", flash, [](Actions& a, FakeClock&) {
      rig::Timings timings;
      timings.pause = 2s;
      int asked = 0;
      timings.stopRequested = [&asked] { return ++asked == 3; };
      a.sequence(timings);
    });
    // Ended by the program at each of its waits in turn.
    for (int stopAt = 1; stopAt < 40; ++stopAt) {
      expectSame(
          "signal at wait " + std::to_string(stopAt), flash,
          [](Actions& a, FakeClock&) { a.sequence({}); }, stopAt);
    }
  }
  // The line gone at each command in turn.
  for (int failing = 1; failing <= 10; ++failing) {
    expectSame(
        "gone at " + std::to_string(failing),
        [failing](FakeSerial& s) {
          s.failOutputAt = failing;
          s.failAll = true;
        },
        [](Actions& a, FakeClock&) { a.sequence({}); });
  }
  expectSame(
      "second toggle unread",
      [](FakeSerial& s) {
        s.scriptedReplies = {"relay read 1\r\noff\r\n>", "relay read 0\r\noff\r\n>",
                             "relay read 1\r\noff\r\n>", "relay read 0\r\nERROR\r\n>"};
      },
      [](Actions& a, FakeClock&) { a.sequence({}); });
}

TEST(BuiltInRig, AStepwiseRigHasNoFocusOrDelay) {
  FakeClock clock;
  FakeSerial serial{clock};
  rig::TextBoard board{serial, clock};
  rig::RigDescription focused = rig::builtInRig();
  focused.cameras[0].focus = rig::RelayLine{"module", 0};
  focused.flashes.clear();
  EXPECT_THROW(rig::RoleRig(focused, {{"module", &board}}, clock), rig::SerialError);
  rig::RigDescription delayed = rig::builtInRig();
  delayed.cameras[0].delay = 10ms;
  EXPECT_THROW(rig::RoleRig(delayed, {{"module", &board}}, clock), rig::SerialError);
}

}  // namespace
