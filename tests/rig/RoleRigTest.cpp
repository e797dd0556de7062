#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <csignal>
#include <map>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "boards/text/TextBoard.h"
#include "rig/OpenedBoards.h"
#include "rig/RoleRig.h"
#include "support/ErrorFrom.h"
#include "support/Fakes.h"

using namespace fakes;
using namespace std::chrono_literals;
using Texts = std::vector<std::string>;
using rig::LineState;

namespace {

// The fake clock, whose woken waits end at the test's stop as the service's do, and whose wait
// number `signalAt` throws as the program's does on a signal.
class StopClock : public FakeClock {
 public:
  void waitUntil(time_point deadline) override {
    raised = false;  // as the service's clock, whose every wait leaves the priority first
    if (++waits == signalAt) throw rig::CutShort::bySignal(SIGTERM);
    FakeClock::waitUntil(deadline);
  }
  void waitUntilWoken(time_point deadline) override {
    waitUntil(stopAt && *stopAt > now() ? std::min(deadline, *stopAt) : deadline);
  }
  bool stopped() const { return stopAt && now() >= *stopAt; }
  std::optional<time_point> stopAt;
  int waits = 0;
  int signalAt = 0;
};

// A board as its driver behaves: one command for several relays where it can (`many`), one per
// relay otherwise; each noted as "MS BOARD COMMAND", at the clock's milliseconds.
class LogBoard : public rig::Board {
 public:
  LogBoard(std::string name, bool many, StopClock& clock, Texts& log)
      : name_(std::move(name)), many_(many), clock_(clock), log_(log) {}

  rig::BoardName name() const override { return {"hid", name_}; }
  int relayCount() const override { return count; }
  rig::BoardAbilities abilities() const override { return {true, many_, false}; }
  void open() override {
    command("open");
    opened = true;
  }
  void close() override {
    command("close");
    opened = false;
  }
  bool isOpen() const override { return opened; }
  void switchRelay(int relay, bool on) override {
    command((on ? "on " : "off ") + std::to_string(relay));
    relays = on ? relays | (1U << relay) : relays & ~(1U << relay);
  }
  void switchRelays(rig::RelayMask which, rig::RelayMask on) override {
    for (int relay = 0; !many_ && relay < 8; ++relay) {
      if ((which >> relay) & 1U) switchRelay(relay, (on >> relay) & 1U);
    }
    if (!many_) return;
    command("write " + std::to_string(which) + "=" + std::to_string(on & which));
    relays = (relays & ~which) | (on & which);
    if (takes > rig::Clock::duration{}) clock_.waitFor(takes);
  }
  rig::RelayMask readRelays() override { return relays; }
  bool readRelay(int relay) override {
    command("read " + std::to_string(relay));
    return (relays >> relay) & 1U;
  }
  // With `split`, a command's answer is awaited apart, as a board on a line of its own does.
  void startSwitch(rig::RelayMask which, rig::RelayMask on) override {
    if (!split) return switchRelays(which, on);
    command("send " + std::to_string(which) + "=" + std::to_string(on & which));
    relays = (relays & ~which) | (on & which);
    awaited = true;
  }
  void finishSwitch() override {
    if (!std::exchange(awaited, false)) return;
    command("answer");
  }
  // Noted apart ("MS WHICH"), so the commands' log stays as the line sees it.
  void prepareSwitch(rig::RelayMask which, rig::RelayMask) override {
    if (prepareFailsAt && clock_.now() >= clock_.start() + *prepareFailsAt) {
      throw rig::SerialError(
          rig::Failure{rig::FailureKind::NoAnswer, std::nullopt, {}, "no answer to the reading"});
    }
    const auto ms = std::chrono::duration<double, std::milli>(clock_.now() - clock_.start());
    std::ostringstream line;
    line << ms.count() << " " << which;
    prepared.push_back(line.str());
  }
  rig::Clock::duration switchLead(int, bool) const override { return lead; }
  rig::Clock::duration groupLead(rig::RelayMask which, rig::RelayMask on) const override {
    if (manyLead && many_ && !std::has_single_bit(which)) return *manyLead;
    return rig::Board::groupLead(which, on);
  }

  rig::RelayMask relays = 0;
  rig::Clock::duration lead{};
  std::optional<rig::Clock::duration> manyLead;  // of a command for several relays, when longer
  rig::Clock::duration takes{};                  // how long a command for several relays holds
  int count = 8;
  bool opened = false;
  bool split = false;
  bool awaited = false;
  Texts prepared;
  std::optional<rig::Clock::duration> prepareFailsAt;  // from then on, its reading gets no answer
  int failFrom = 0;      // commands counted from 1: this one and every later one fail (unplugged)
  Texts raisedCommands;  // the log's lines sent while the clock held the last stretch's priority

 private:
  void command(const std::string& what) {
    if (failFrom > 0 && ++commands_ >= failFrom) {
      throw rig::SerialError(
          rig::Failure{rig::FailureKind::DeviceGone, std::nullopt, {}, "device went away"});
    }
    const auto ms = std::chrono::duration<double, std::milli>(clock_.now() - clock_.start());
    std::ostringstream line;
    line << ms.count() << " " << name_ << " " << what;
    log_.push_back(line.str());
    if (clock_.raised) raisedCommands.push_back(line.str());
  }

  std::string name_;
  bool many_;
  StopClock& clock_;
  Texts& log_;
  int commands_ = 0;
};

// Board "top" switches many at once; board "side" one relay at a time. Cameras a and b have focus
// lines on top, camera c is delayed 15 ms on side; a flash on each board.
class RoleRigTest : public ::testing::Test {
 protected:
  RoleRigTest() {
    description.boards = {{"top", std::nullopt, 8}, {"side", std::nullopt, 8}};
    description.cameras = {{"a", {"top", 1}, rig::RelayLine{"top", 0}, {}},
                           {"b", {"top", 3}, rig::RelayLine{"top", 2}, {}},
                           {"c", {"side", 0}, std::nullopt, 15ms}};
    description.flashes = {{"key", {"top", 7}}, {"fill", {"side", 5}}};
    description.timings.focus = 200ms;
  }

  rig::RoleRig& rig() {
    if (!rig_) rig_ = std::make_unique<rig::RoleRig>(description, boards, clock);
    return *rig_;
  }
  rig::Timings bulb() {
    rig::Timings timings = rig().timings();
    timings.pulse = 1h;
    timings.stopRequested = [this] { return clock.stopped(); };
    return timings;
  }
  // The rig's state: each camera's shutter and focus, then each flash.
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
  Texts log;
  LogBoard top{"TOP", true, clock, log};
  LogBoard side{"SIDE", false, clock, log};
  rig::RigBoards boards{{"top", &top}, {"side", &side}};
  rig::RigDescription description;

 private:
  std::unique_ptr<rig::RoleRig> rig_;
};

constexpr auto kOff = LineState::Off;
constexpr auto kOn = LineState::On;
constexpr auto kUnknown = LineState::Unknown;

TEST_F(RoleRigTest, FocusThenShuttersWithTheirDelaysThenEachReleasedAfterThePulse) {
  rig().shutter();
  // Focus 0 and 2 in one command, shutters 1 and 3 in one 200 ms later, camera c's 15 ms after;
  // each held 500 ms (and half a millisecond's margin), its focus released with it.
  EXPECT_EQ(log, (Texts{"0 TOP write 5=5", "200 TOP write 10=10", "215 SIDE on 0",
                        "700.5 TOP write 15=0", "715.5 SIDE off 0"}));
  EXPECT_EQ(lines(), (std::vector{kOff, kOff, kOff, kOff, kOff, kUnknown, kUnknown}));

  // Named cameras alone; unknown names and overlong pulses are refused before any switch.
  log.clear();
  rig().shutter({"c"});
  EXPECT_EQ(log, (Texts{"715.5 SIDE on 0", "1216 SIDE off 0"})) << "no focus line: no lead";
  log.clear();
  EXPECT_EQ(errorFrom([&] {
              rig().shutter({"a", "left"});
            }).reason(),
            "the rig has no camera named 'left' (its cameras: a, b, c)");
  rig::Timings tooLong = rig().timings();
  tooLong.pulse = 1h + 1ms;
  errorFrom([&] { rig().shutter({}, tooLong); });
  EXPECT_TRUE(log.empty());
}

// Two boards of one moment: each gets its command before either's answer is awaited; an answer
// that fails still lets the other board's be awaited, and both are released.
TEST_F(RoleRigTest, BoardsOfOneMomentGetTheirCommandsBeforeAnyAnswerIsAwaited) {
  top.split = side.split = true;
  description.cameras = {{"a", {"top", 1}, std::nullopt, {}}, {"c", {"side", 0}, std::nullopt, {}}};
  rig().shutter();
  EXPECT_EQ(log, (Texts{"0 TOP send 2=2", "0 SIDE send 1=1", "0 TOP answer", "0 SIDE answer",
                        "500.5 TOP send 2=0", "500.5 SIDE send 1=0", "500.5 TOP answer",
                        "500.5 SIDE answer"}));

  log.clear();
  top.failFrom = 2;  // its answer to the shot, and everything after
  const rig::SerialError failed = errorFrom([&] { rig().shutter(); });
  EXPECT_EQ(failed.device(), "hid:TOP");
  // The other board's answer is awaited, then its line released; the failed one is retried.
  EXPECT_EQ(log, (Texts{"500.5 TOP send 2=2", "500.5 SIDE send 1=1", "500.5 SIDE answer",
                        "500.5 SIDE off 0"}));
  EXPECT_EQ(rig().state().cameras[1].shutter, kOff);
}

// A stop, a board unplugged, a signal: whatever ends a bulb, every line it closed is released, on
// every board, at once; a board that fails is named.
TEST_F(RoleRigTest, EveryEndingOfABulbReleasesEveryLineOnEveryBoard) {
  clock.stopAt = clock.start();
  EXPECT_THROW(rig().shutter({}, bulb()), rig::CutShort);
  EXPECT_TRUE(log.empty()) << "stopped before it began: nothing to release";
  clock.stopAt = clock.start() + 10min + 200ms;
  EXPECT_THROW(rig().shutter({}, bulb()), rig::CutShort);
  EXPECT_EQ(Texts(log.begin() + 3, log.end()),
            (Texts{"600200 TOP write 15=0", "600200 SIDE off 0"}));
  EXPECT_EQ(lines(), (std::vector{kOff, kOff, kOff, kOff, kOff, kUnknown, kUnknown}));

  log.clear();
  clock.stopAt.reset();
  side.failFrom = 1;
  const rig::SerialError gone = errorFrom([&] { rig().shutter({}, bulb()); });
  EXPECT_EQ(gone.kind(), rig::FailureKind::DeviceGone);
  EXPECT_EQ(gone.device(), "hid:SIDE");
  EXPECT_EQ(gone.reason().rfind("board side (hid:SIDE): device went away", 0), 0U) << gone.reason();
  EXPECT_EQ(log.back(), "600415 TOP write 15=0") << "released as soon as side failed";
  EXPECT_EQ(lines(), (std::vector{kOff, kOff, kOff, kOff, kUnknown, kUnknown, kUnknown}));

  // A signal during the pulse (the clock's sixth wait, each moment of several lines on a board
  // waiting first to be prepared): released, and cut short.
  log.clear();
  side.failFrom = 0;
  clock.waits = 0;
  clock.signalAt = 6;
  EXPECT_THROW(rig().shutter(), rig::CutShort);
  EXPECT_EQ(Texts(log.begin() + 3, log.end()),
            (Texts{"600630 TOP write 15=0", "600630 SIDE off 0"}));

  // Cut short, and one board cannot release: no stop done as asked; the other is released.
  log.clear();
  clock.waits = 0;
  top.failFrom = 3;  // counted from here: focus and shutters go, the release fails
  EXPECT_NE(std::string(errorFrom([&] { rig().shutter(); }).what())
                .find("undoing it failed; board top (hid:TOP): device went away"),
            std::string::npos);
  EXPECT_EQ(log.back(), "600845 SIDE off 0");
}

TEST_F(RoleRigTest, ArmedTheShuttersCloseAtTheTimeEachBoardsCommandStartedItsLeadAhead) {
  top.lead = 2ms;
  side.lead = 5ms;
  rig::Timings timings = rig().timings();
  std::optional<rig::Clock::time_point> committedAt;
  timings.armed = rig::Arming{clock.realNow() + 2s, [] { return false; },
                              [&] {
                                committedAt = clock.now();
                                return true;
                              }};
  // Each telling of the state: whether it shows the shot's time, and whether a line is on.
  std::vector<std::pair<bool, bool>> told;
  rig().setObserver([&](const rig::RoleState&) {
    const std::vector<LineState> now = lines();
    told.emplace_back(rig().armedAt().has_value(),
                      std::find(now.begin(), now.end(), kOn) != now.end());
  });
  rig().shutter({}, timings);
  EXPECT_EQ(log, (Texts{"1798 TOP write 5=5", "1998 TOP write 10=10", "2010 SIDE on 0",
                        "2498.5 TOP write 15=0", "2510.5 SIDE off 0"}));
  EXPECT_LT(committedAt, clock.start() + 1798ms) << "committed before the first switch";
  // The wait is shown as it begins, and is over once the focus closes: never both at once.
  ASSERT_FALSE(told.empty());
  EXPECT_EQ(told.front(), std::make_pair(true, false));
  EXPECT_EQ(std::count(told.begin(), told.end(), std::make_pair(true, true)), 0);
  EXPECT_FALSE(rig().armedAt());
  // The rig's own record: each board's commands landed on their moments, camera c's delay
  // counted.
  const auto lateness = [this] {
    std::vector<std::pair<std::string, double>> boards;
    for (const auto& board : rig().armedLateness())
      boards.emplace_back(board.board,
                          std::chrono::duration<double, std::milli>(board.late).count());
    return boards;
  };
  using Lateness = std::vector<std::pair<std::string, double>>;
  EXPECT_EQ(lateness(), (Lateness{{"top", 0.0}, {"side", 0.0}}));
  // A board whose command holds the rig up makes the next board's land late, and it says so.
  log.clear();
  top.takes = 30ms;
  timings.armed->at = clock.realNow() + 2s;
  rig().shutter({}, timings);
  EXPECT_EQ(lateness(), (Lateness{{"top", 0.0}, {"side", 18.0}}));
  top.takes = {};

  // The focus lead does not fit: refused before anything is switched; a disarm likewise.
  log.clear();
  timings.armed->at = clock.realNow() + 250ms;
  EXPECT_EQ(errorFrom([&] { rig().shutter({}, timings); }).kind(), rig::FailureKind::TooLate);
  timings.armed->at = clock.realNow() + 5s;
  timings.armed->disarmed = [this] { return clock.now() > clock.start() + 4s; };
  EXPECT_EQ(errorFrom([&] { rig().shutter({}, timings); }).kind(), rig::FailureKind::Disarmed);
  EXPECT_TRUE(log.empty());
  EXPECT_FALSE(rig().armedAt()) << "a disarmed wait is no longer shown";
}

// The last stretch's priority is for the shot's commands: the lines are told, the answers awaited
// and a failed shot's lines released once it has been given back, so that rigs sharing the
// machine's cores send their own commands first.
TEST_F(RoleRigTest, AnArmedShotHoldsItsPriorityForItsCommandsAlone) {
  top.split = side.split = true;
  description.cameras = {{"a", {"top", 1}, rig::RelayLine{"top", 0}, {}},
                         {"c", {"side", 0}, std::nullopt, {}},
                         {"d", {"side", 1}, std::nullopt, 15ms}};
  rig::Timings timings = rig().timings();
  timings.armed = rig::Arming{clock.realNow() + 2s, {}, {}};
  std::vector<bool> toldRaised;
  rig().setObserver([&](const rig::RoleState&) { toldRaised.push_back(clock.raised); });
  rig().shutter({}, timings);
  // The focus, the shot and a camera's delay after it; not the releases.
  EXPECT_EQ(top.raisedCommands, (Texts{"1800 TOP send 1=1", "2000 TOP send 2=2"}));
  EXPECT_EQ(side.raisedCommands, (Texts{"2000 SIDE send 1=1", "2015 SIDE send 2=2"}));
  EXPECT_EQ(std::count(toldRaised.begin(), toldRaised.end(), true), 0);
  EXPECT_FALSE(clock.raised);

  // The shot's command fails on one board: the other's answer and every release come after.
  top.raisedCommands.clear();
  log.clear();
  toldRaised.clear();
  side.failFrom = 1;
  timings.armed->at = clock.realNow() + 2s;
  EXPECT_EQ(errorFrom([&] { rig().shutter({}, timings); }).device(), "hid:SIDE");
  ASSERT_EQ(log.size(), 5U);
  EXPECT_EQ(top.raisedCommands, (Texts{log[0], log[2]}));
  EXPECT_TRUE(log[3].ends_with("TOP answer") && log[4].ends_with("TOP write 3=0"));
  EXPECT_EQ(std::count(toldRaised.begin(), toldRaised.end(), true), 0);
  EXPECT_FALSE(clock.raised);
}

// Two moments closer on one board than its command takes on the line cannot both be on time:
// said before any shot, naming the board, the lines and the figure.
TEST_F(RoleRigTest, MomentsCloserThanABoardsCommandAreRefusedInWords) {
  top.lead = 2ms;
  const auto check = [this] { rig::RoleRig(description, boards, clock).checkMoments(); };
  check();  // camera c's 15 ms delay is on a board of its own
  description.cameras[1].delay = 1ms;
  EXPECT_EQ(errorFrom(check).reason(),
            "board top (hid:TOP) cannot switch camera a's shutter and camera b's shutter 1.0 ms "
            "apart: its command takes 2.0 ms on the line; put those cameras at least that far "
            "apart, or on other boards");
  description.cameras[1].delay = 2ms;
  check();
}

TEST_F(RoleRigTest, ArmedAGroupStartsItsOwnCommandsLeadAheadNotOneRelays) {
  top.lead = 2ms;
  top.manyLead = 7ms;
  rig::Timings timings = rig().timings();
  timings.armed = rig::Arming{clock.realNow() + 2s, {}, {}};
  rig().shutter({}, timings);
  EXPECT_EQ(log, (Texts{"1793 TOP write 5=5", "1993 TOP write 10=10", "2015 SIDE on 0",
                        "2493.5 TOP write 15=0", "2515.5 SIDE off 0"}));
  // Each group of several lines was prepared before its moment's last stretch; one line alone
  // needs nothing (side's).
  EXPECT_EQ(top.prepared, (Texts{"1673 5", "1873 10", "2373.5 15"}));
  EXPECT_TRUE(side.prepared.empty());

  // The preparing comes before the shot's cut-off, so it must fit before the first moment too.
  timings.armed->at = clock.realNow() + 400ms;
  EXPECT_EQ(errorFrom([&] { rig().shutter({}, timings); }).kind(), rig::FailureKind::TooLate);

  // A preparing that fails: before the first switch nothing is switched; at the pulse's end,
  // every line the shot closed is released all the same.
  log.clear();
  top.prepareFailsAt = clock.now() - clock.start();
  timings.armed->at = clock.realNow() + 2s;
  EXPECT_EQ(errorFrom([&] { rig().shutter({}, timings); }).kind(), rig::FailureKind::NoAnswer);
  EXPECT_TRUE(log.empty());
  EXPECT_EQ(lines(), (std::vector{kOff, kOff, kOff, kOff, kOff, kUnknown, kUnknown}));
  log.clear();
  timings.armed->at = clock.realNow() + 2s;
  top.prepareFailsAt = clock.now() - clock.start() + 2s;  // its release, after the shutters
  EXPECT_EQ(errorFrom([&] { rig().shutter({}, timings); }).kind(), rig::FailureKind::NoAnswer);
  EXPECT_EQ(log.size(), 5U) << "focus, shutters on two boards, then both released";
  EXPECT_EQ(lines(), (std::vector{kOff, kOff, kOff, kOff, kOff, kUnknown, kUnknown}));
}

TEST_F(RoleRigTest, FlashesToggleTogetherAndAreRestoredByEveryEnding) {
  top.relays = 1U << 7;  // key on, fill off
  rig().flash();
  EXPECT_EQ(log, (Texts{"0 TOP read 7", "0 SIDE read 5", "0 TOP write 128=0", "0 SIDE on 5"}));
  EXPECT_EQ(lines(), (std::vector{kUnknown, kUnknown, kUnknown, kUnknown, kUnknown, kOff, kOn}));

  // One flash by its name: only its line is read and switched; a name the rig lacks, nothing.
  log.clear();
  rig().flash("fill");
  EXPECT_EQ(log, (Texts{"0 SIDE read 5", "0 SIDE off 5"}));
  EXPECT_EQ(top.relays, 0U) << "key was switched";
  EXPECT_EQ(errorFrom([&] { rig().flash("rim"); }).reason(),
            "the rig has no flash named 'rim' (its flashes: key, fill)");
  EXPECT_EQ(log.size(), 2U);
  rig().flash("fill");

  // Side fails on its switch: key, already toggled, goes back; fill is commanded back too.
  side.failFrom = 2;
  EXPECT_NE(std::string(errorFrom([&] { rig().flash(); }).what())
                .find("undoing it failed too; board side"),
            std::string::npos);
  EXPECT_EQ(top.relays, 0U) << "key as it was before the action";
  EXPECT_EQ(log.back(), "0 TOP write 128=0");

  // A sequence stopped in its pause after the first flash: shutters released, flashes back.
  side.failFrom = 0;
  side.relays = 0;
  rig::Timings timings = rig().timings();
  timings.stopRequested = [this] { return clock.stopped(); };
  clock.stopAt = clock.start() + 1500ms;
  EXPECT_THROW(rig().sequence(timings), rig::CutShort);
  EXPECT_EQ(top.relays | side.relays, 0U);
  EXPECT_EQ(log.back(), "1500 SIDE off 5") << "the pause was cut at the stop";
  EXPECT_EQ(lines(), (std::vector{kOff, kOff, kOff, kOff, kOff, kOff, kOff}));
}

// On a board switched one relay at a time, a camera's focus closes before its shutter and its
// shutter opens before its focus, wherever they are wired: the shutter is held for its pulse, not
// one command longer. A stop's release keeps the same order.
TEST_F(RoleRigTest, OneRelayAtATimeTheShutterIsHeldForItsPulseAlone) {
  description.cameras = {{"d", {"side", 1}, rig::RelayLine{"side", 0}, {}},
                         {"e", {"side", 2}, rig::RelayLine{"side", 3}, {}}};
  description.flashes.clear();
  description.timings.focus = 0ms;
  rig().shutter();
  EXPECT_EQ(log,
            (Texts{"0 SIDE on 0", "0 SIDE on 3", "0 SIDE on 1", "0 SIDE on 2", "500.5 SIDE off 1",
                   "500.5 SIDE off 2", "500.5 SIDE off 0", "500.5 SIDE off 3"}));

  log.clear();
  clock.stopAt = clock.now() + 2s;
  EXPECT_THROW(rig().shutter({}, bulb()), rig::CutShort);
  EXPECT_EQ(
      std::vector(log.end() - 4, log.end()),
      (Texts{"2500.5 SIDE off 1", "2500.5 SIDE off 2", "2500.5 SIDE off 0", "2500.5 SIDE off 3"}));
  EXPECT_EQ(side.relays, 0U);
}

TEST_F(RoleRigTest, ABoardMissingOrALineNamedTwiceIsRefused) {
  EXPECT_EQ(errorFrom([&] {
              rig::RoleRig(description, {{"top", &top}}, clock);
            }).kind(),
            rig::FailureKind::NotOpen);
  description.flashes.push_back({"rim", {"side", 0}});
  errorFrom([&] { rig::RoleRig(description, boards, clock); });
}

// Boards found by their identity, each with the relays given; the others are not found.
class LogSource : public rig::BoardSource {
 public:
  LogSource(StopClock& clock, Texts& log) : clock_(clock), log_(log) {}
  rig::Listing list() override { return {}; }
  std::unique_ptr<rig::Board> find(const rig::BoardName& name,
                                   std::optional<int> /*relays*/) override {
    if (!counts.contains(name.identity)) {
      throw rig::SerialError(rig::Failure{rig::FailureKind::NoDevice, std::nullopt, {}, "absent"});
    }
    auto board = std::make_unique<LogBoard>(name.identity, true, clock_, log_);
    board->count = counts[name.identity];
    return board;
  }
  std::map<std::string, int> counts;

 private:
  StopClock& clock_;
  Texts& log_;
};

TEST_F(RoleRigTest, BoardsAreFoundOpenedAndCheckedAndClosedAgainWhenOneCannotBeUsed) {
  description.boards = {{"top", rig::BoardName{"hid", "TOP"}, 8},
                        {"side", rig::BoardName{"hid", "SIDE"}, std::nullopt}};
  LogSource source{clock, log};
  source.counts = {{"TOP", 8}, {"SIDE", 6}};
  rig::RoleRig(description, rig::OpenedBoards(description, source).boards(), clock).shutter({"c"});
  EXPECT_EQ(log, (Texts{"0 TOP open", "0 SIDE open", "0 SIDE write 1=1", "500.5 SIDE write 1=0",
                        "500.5 TOP close", "500.5 SIDE close"}));

  // Side has fewer relays than its flash's line needs; then it is not there at all.
  source.counts["SIDE"] = 5;
  log.clear();
  const rig::SerialError few = errorFrom([&] { rig::OpenedBoards(description, source); });
  EXPECT_EQ(few.reason(), "board side (hid:SIDE): has 5 relays, the rig needs 6");
  EXPECT_EQ(log,
            (Texts{"500.5 TOP open", "500.5 SIDE open", "500.5 TOP close", "500.5 SIDE close"}))
      << "every board it opened is closed again";
  // A count the file gives is the one told.
  source.counts["TOP"] = 4;
  EXPECT_EQ(errorFrom([&] { rig::OpenedBoards(description, source); }).reason(),
            "board top (hid:TOP): has 4 relays, the file asks for 8");
  source.counts["TOP"] = 8;
  source.counts.erase("SIDE");
  EXPECT_EQ(errorFrom([&] { rig::OpenedBoards(description, source); }).kind(),
            rig::FailureKind::NoDevice);
}

// The panel's rig described: through the engine on the text module, the panel's commands.
TEST(RoleRigOnTheTextModule, TheDefaultRigSendsThePanelsSwitchingCommands) {
  FakeClock clock;
  FakeSerial serial{clock};
  serial.ports[1] = {};
  rig::TextBoard board{serial, clock};
  board.open();
  rig::RoleRig rig(rig::defaultRig(), {{"module", &board}}, clock);
  rig.flash();
  rig.shutter();
  EXPECT_EQ(serial.commands(), (Texts{"relay read 0", "relay on 0", "relay on 1", "relay off 1"}));

  // A wider module, which the board takes for the two-relay one until it has read it.
  serial.relays = 8;
  rig::RigDescription wide = rig::defaultRig();
  wide.boards[0].relays = 8;
  StopClock unused;
  Texts none;
  LogSource source{unused, none};
  EXPECT_EQ(rig::OpenedBoards(wide, source, &board).boards().at("module"), &board);
  EXPECT_EQ(board.relayCount(), 8);
}

}  // namespace
