#include <gtest/gtest.h>

#include <csignal>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "rig/RoleRig.h"
#include "rig/TextBoard.h"
#include "support/Fakes.h"

using namespace fakes;
using rig::LineState;

namespace {

// One switching call as a board put it on its line, at the fake clock's time (ms after start).
struct Call {
  double at;
  std::string board;
  std::string what;
  bool operator==(const Call&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Call& call) {
  return out << call.at << " " << call.board << " " << call.what;
}

// The fake clock whose woken waits end when the test's stop comes, as the service's do.
class StopClock : public FakeClock {
 public:
  void waitUntilWoken(time_point deadline) override {
    waitUntil(stopAt && *stopAt > now() ? std::min(deadline, *stopAt) : deadline);
  }
  bool stopped() const { return stopAt && now() >= *stopAt; }
  double ms() const { return std::chrono::duration<double, std::milli>(now() - start()).count(); }
  std::optional<time_point> stopAt;
};

// A board as its driver behaves: one command for several relays where it can (`many`), one per
// relay otherwise; every command noted with its time.
class LogBoard : public rig::Board {
 public:
  LogBoard(std::string name, bool many, StopClock& clock, std::vector<Call>& log)
      : name_(std::move(name)), many_(many), clock_(clock), log_(log) {}

  rig::BoardName name() const override { return {"hid", name_}; }
  int relayCount() const override { return 8; }
  rig::BoardAbilities abilities() const override { return {true, many_, false}; }
  void open() override {}
  void close() override {}
  bool isOpen() const override { return !gone; }
  void switchRelay(int relay, bool on) override {
    fail();
    note((on ? "on " : "off ") + std::to_string(relay));
    relays = on ? relays | (1U << relay) : relays & ~(1U << relay);
  }
  void switchRelays(rig::RelayMask which, rig::RelayMask on) override {
    if (!many_) {
      for (int relay = 0; relay < 8; ++relay) {
        if ((which >> relay) & 1U) switchRelay(relay, (on >> relay) & 1U);
      }
      return;
    }
    fail();
    note("write " + std::to_string(which) + "=" + std::to_string(on & which));
    relays = (relays & ~which) | (on & which);
  }
  rig::RelayMask readRelays() override {
    fail();
    note("read all");
    return relays;
  }
  bool readRelay(int relay) override {
    fail();
    note("read " + std::to_string(relay));
    return (relays >> relay) & 1U;
  }
  rig::Clock::duration switchLead(int, bool) const override { return lead; }

  rig::RelayMask relays = 0;
  rig::Clock::duration lead{};
  bool gone = false;  // every command fails: unplugged
  int failFrom = 0;   // commands counted from 1; this one and the later ones fail

 private:
  void fail() {
    ++commands_;
    if (gone || (failFrom > 0 && commands_ >= failFrom)) {
      gone = true;
      throw rig::SerialError(
          rig::Failure{rig::FailureKind::DeviceGone, std::nullopt, {}, "device went away"});
    }
  }
  void note(std::string what) { log_.push_back({clock_.ms(), name_, std::move(what)}); }

  std::string name_;
  bool many_;
  StopClock& clock_;
  std::vector<Call>& log_;
  int commands_ = 0;
};

// Board "top" switches many at once; board "side" one relay at a time. Cameras a and b have focus
// lines on top, camera c is delayed 15 ms on side; a flash on each board.
class RoleRigTest : public ::testing::Test {
 protected:
  RoleRigTest() {
    description.boards = {{"top", rig::BoardName{"hid", "TOP"}, 8},
                          {"side", rig::BoardName{"hid", "SIDE"}, 8}};
    description.cameras = {{"a", {"top", 1}, rig::RelayLine{"top", 0}, {}},
                           {"b", {"top", 3}, rig::RelayLine{"top", 2}, {}},
                           {"c", {"side", 0}, std::nullopt, std::chrono::milliseconds(15)}};
    description.flashes = {{"key", {"top", 7}}, {"fill", {"side", 5}}};
    description.timings.focus = std::chrono::milliseconds(200);
  }

  rig::RoleRig& rig() {
    if (!rig_)
      rig_ = std::make_unique<rig::RoleRig>(description,
                                            rig::RigBoards{{"top", &top}, {"side", &side}}, clock);
    return *rig_;
  }
  rig::Timings bulb() {
    rig::Timings timings = rig().timings();
    timings.pulse = std::chrono::hours(1);
    timings.stopRequested = [this] { return clock.stopped(); };
    return timings;
  }
  // Every camera line and flash line as the rig's state has them.
  std::vector<LineState> lines() {
    std::vector<LineState> all;
    for (const rig::CameraLines& camera : rig().state().cameras) {
      all.push_back(camera.shutter);
      if (camera.focus) all.push_back(*camera.focus);
    }
    for (const rig::FlashLine& flash : rig().state().flashes) all.push_back(flash.line);
    return all;
  }

  StopClock clock;
  std::vector<Call> log;
  LogBoard top{"TOP", true, clock, log};
  LogBoard side{"SIDE", false, clock, log};
  rig::RigDescription description;

 private:
  std::unique_ptr<rig::RoleRig> rig_;
};

constexpr auto kOff = LineState::Off;
constexpr auto kOn = LineState::On;
constexpr auto kUnknown = LineState::Unknown;

TEST_F(RoleRigTest, FocusThenShuttersWithTheirDelaysThenEachReleasedAfterThePulse) {
  std::vector<std::vector<LineState>> seen;
  rig().setObserver([&](const rig::RoleState&) { seen.push_back(lines()); });
  rig().shutter();
  // Focus 0 and 2 together; shutters 1 and 3 in one command 200 ms later, camera c's 15 ms
  // after; each held 500 ms (and half a millisecond's margin), its focus released with it.
  EXPECT_EQ(log, (std::vector<Call>{{0, "TOP", "write 5=5"},
                                    {200, "TOP", "write 10=10"},
                                    {215, "SIDE", "on 0"},
                                    {700.5, "TOP", "write 15=0"},
                                    {715.5, "SIDE", "off 0"}}));
  ASSERT_GE(seen.size(), 2U);
  EXPECT_EQ(seen[1], (std::vector<LineState>{kOn, kOn, kOn, kOn, kUnknown, kUnknown, kUnknown}))
      << "a and b open with their focus held, c not yet";
  EXPECT_EQ(lines(), (std::vector<LineState>{kOff, kOff, kOff, kOff, kOff, kUnknown, kUnknown}))
      << "the flashes are not touched by a shot";

  // Named cameras alone; an unknown name is refused before anything is switched.
  log.clear();
  rig().shutter({"c"});
  EXPECT_EQ(log, (std::vector<Call>{{715.5, "SIDE", "on 0"}, {1216, "SIDE", "off 0"}}))
      << "no focus line: no lead";
  log.clear();
  try {
    rig().shutter({"a", "left"});
    ADD_FAILURE() << "an unknown camera fired";
  } catch (const rig::SerialError& error) {
    EXPECT_NE(std::string(error.what()).find("no camera named 'left' (its cameras: a, b, c)"),
              std::string::npos);
  }
  rig::Timings tooLong = rig().timings();
  tooLong.pulse = std::chrono::hours(1) + std::chrono::milliseconds(1);
  EXPECT_THROW(rig().shutter({}, tooLong), rig::SerialError);
  EXPECT_TRUE(log.empty());
}

// A stop, a board gone, a signal: whatever ends a bulb, every line it closed is released, on
// every board, at once.
TEST_F(RoleRigTest, EveryEndingOfABulbReleasesEveryLineOnEveryBoard) {
  const std::vector<Call> releasedAt10Minutes{{600200, "TOP", "write 15=0"},
                                              {600200, "SIDE", "off 0"}};
  clock.stopAt = clock.start() + std::chrono::minutes(10) + std::chrono::milliseconds(200);
  EXPECT_THROW(rig().shutter({}, bulb()), rig::CutShort);
  ASSERT_EQ(log.size(), 5U);
  EXPECT_EQ(std::vector<Call>(log.begin() + 3, log.end()), releasedAt10Minutes);
  EXPECT_EQ(lines(), (std::vector<LineState>{kOff, kOff, kOff, kOff, kOff, kUnknown, kUnknown}));

  // Side unplugged before its shutter: top still released, side named in the failure.
  log.clear();
  clock.stopAt.reset();
  side.failFrom = 1;
  try {
    rig().shutter({}, bulb());
    ADD_FAILURE() << "no failure";
  } catch (const rig::SerialError& error) {
    EXPECT_EQ(error.kind(), rig::FailureKind::DeviceGone);
    EXPECT_EQ(error.device(), "hid:SIDE");
    EXPECT_EQ(error.reason().rfind("board side (hid:SIDE): device went away", 0), 0U)
        << error.reason();
  }
  ASSERT_EQ(log.size(), 3U);
  EXPECT_EQ(log.back(), (Call{600415, "TOP", "write 15=0"})) << "released as soon as side failed";
  EXPECT_EQ(lines(),
            (std::vector<LineState>{kOff, kOff, kOff, kOff, kUnknown, kUnknown, kUnknown}));
}

// The signal's clock: its wait throws on the given call, as the program's does on Ctrl-C.
class SignalClock : public StopClock {
 public:
  void waitUntil(time_point deadline) override {
    if (++waits == signalAt) throw rig::CutShort::bySignal(SIGTERM);
    StopClock::waitUntil(deadline);
  }
  int waits = 0;
  int signalAt = 0;
};

TEST(RoleRigEndings, ASignalDuringTheBulbReleasesAndAFailedReleaseIsNoStopDoneAsAsked) {
  SignalClock clock;
  std::vector<Call> log;
  LogBoard top{"TOP", true, clock, log};
  LogBoard side{"SIDE", false, clock, log};
  rig::RigDescription description;
  description.boards = {{"top", std::nullopt, 8}, {"side", std::nullopt, 8}};
  description.cameras = {{"a", {"top", 1}, std::nullopt, {}}, {"b", {"side", 1}, std::nullopt, {}}};
  description.timings.pulse = std::chrono::minutes(30);
  rig::RoleRig rig(description, {{"top", &top}, {"side", &side}}, clock);

  clock.signalAt = 3;  // a wait before each board's shutter, then the bulb's
  try {
    rig.shutter();
    ADD_FAILURE() << "not cut short";
  } catch (const rig::CutShort& cut) {
    EXPECT_EQ(cut.signal, SIGTERM);
  }
  EXPECT_EQ(log, (std::vector<Call>{{0, "TOP", "write 2=2"},
                                    {0, "SIDE", "on 1"},
                                    {0, "TOP", "write 2=0"},
                                    {0, "SIDE", "off 1"}}));

  // Cut short, and one board cannot release: no stop done as asked, the board named.
  log.clear();
  clock.waits = 0;
  top.failFrom = 4;  // its shutter opens, its release fails
  try {
    rig.shutter();
    ADD_FAILURE() << "reported as a stop";
  } catch (const rig::SerialError& error) {
    EXPECT_NE(std::string(error.what()).find("board top (hid:TOP): device went away"),
              std::string::npos);
  }
  EXPECT_EQ(log.back(), (Call{0, "SIDE", "off 1"})) << "side released all the same";
}

TEST_F(RoleRigTest, ArmedTheShuttersCloseAtTheTimeEachBoardsCommandStartedItsLeadAhead) {
  top.lead = std::chrono::milliseconds(2);
  side.lead = std::chrono::milliseconds(5);
  rig::Timings timings = rig().timings();
  std::optional<double> committedAt;
  timings.armed = rig::Arming{clock.realNow() + std::chrono::seconds(2), [] { return false; },
                              [&] {
                                committedAt = clock.ms();
                                return true;
                              }};
  rig().shutter({}, timings);
  EXPECT_EQ(log, (std::vector<Call>{{1798, "TOP", "write 5=5"},
                                    {1998, "TOP", "write 10=10"},
                                    {2010, "SIDE", "on 0"},
                                    {2498.5, "TOP", "write 15=0"},
                                    {2510.5, "SIDE", "off 0"}}));
  ASSERT_TRUE(committedAt);
  EXPECT_LT(*committedAt, 1798) << "committed before the first switch";

  // The focus lead does not fit: refused before anything is switched; a disarm likewise.
  log.clear();
  timings.armed->at = clock.realNow() + std::chrono::milliseconds(250);
  try {
    rig().shutter({}, timings);
    ADD_FAILURE() << "armed too late";
  } catch (const rig::SerialError& error) {
    EXPECT_EQ(error.kind(), rig::FailureKind::TooLate);
  }
  timings.armed->at = clock.realNow() + std::chrono::seconds(5);
  timings.armed->disarmed = [this] { return clock.ms() > 4000; };
  try {
    rig().shutter({}, timings);
    ADD_FAILURE() << "not disarmed";
  } catch (const rig::SerialError& error) {
    EXPECT_EQ(error.kind(), rig::FailureKind::Disarmed);
  }
  EXPECT_TRUE(log.empty());
}

TEST_F(RoleRigTest, FlashesToggleTogetherAndAreRestoredByEveryEnding) {
  top.relays = 1U << 7;  // key on, fill off
  rig().flash();
  EXPECT_EQ(log, (std::vector<Call>{{0, "TOP", "read 7"},
                                    {0, "SIDE", "read 5"},
                                    {0, "TOP", "write 128=0"},
                                    {0, "SIDE", "on 5"}}));
  EXPECT_EQ(rig().state().flashes[0].line, kOff);
  EXPECT_EQ(rig().state().flashes[1].line, kOn);

  // Side fails on its switch: key, already toggled, goes back; side is tried too.
  log.clear();
  side.failFrom = 4;
  try {
    rig().flash();
    ADD_FAILURE() << "no failure";
  } catch (const rig::SerialError& error) {
    EXPECT_NE(std::string(error.what()).find("undoing it failed too; board side"),
              std::string::npos)
        << "fill, whose switch failed, is commanded back as well: " << error.what();
  }
  EXPECT_EQ(top.relays, 0U) << "key as it was before the action";
  EXPECT_EQ(log.back(), (Call{0, "TOP", "write 128=0"}));

  // A sequence stopped after its first flash: shutters released, flashes back as they were.
  side.failFrom = 0;
  side.gone = false;
  side.relays = 0;
  top.relays = 0;
  log.clear();
  rig::Timings timings = rig().timings();
  timings.stopRequested = [this] { return clock.stopped(); };
  clock.stopAt = clock.start() + std::chrono::milliseconds(1500);
  EXPECT_THROW(rig().sequence(timings), rig::CutShort);
  EXPECT_EQ(top.relays, 0U);
  EXPECT_EQ(side.relays, 0U);
  EXPECT_EQ(log.back().at, 1500) << "the pause was cut at the stop";
  EXPECT_EQ(lines(), (std::vector<LineState>{kOff, kOff, kOff, kOff, kOff, kOff, kOff}));
}

TEST_F(RoleRigTest, ABoardMissingOrALineNamedTwiceIsRefused) {
  EXPECT_THROW(rig::RoleRig(description, {{"top", &top}}, clock), rig::SerialError);
  description.flashes.push_back({"rim", {"side", 0}});
  EXPECT_THROW(rig::RoleRig(description, {{"top", &top}, {"side", &side}}, clock),
               rig::SerialError);
}

// The panel's rig described: through the engine on the text module, the same switching commands
// as the panel's own actions.
TEST(RoleRigOnTheTextModule, TheDefaultRigSendsThePanelsSwitchingCommands) {
  FakeClock clock;
  FakeSerial serial{clock};
  serial.ports[1] = {};
  rig::TextBoard board{serial, clock};
  board.open();
  rig::RoleRig rig(rig::defaultRig(), {{"module", &board}}, clock);
  rig.flash();
  rig.shutter();
  EXPECT_EQ(serial.commands(),
            (std::vector<std::string>{"relay read 0", "relay on 0", "relay on 1", "relay off 1"}));
}

}  // namespace
