#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QEventLoop>
#include <algorithm>
#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "boards/Catalog.h"
#include "rig/RigDescription.h"
#include "serial/CommControl.h"
#include "service/RigService.h"
#include "sim/Ch340Module.h"
#include "sim/HidRelayModule.h"
#include "sim/ModbusModule.h"
#include "sim/RelayModule.h"

using namespace std::chrono_literals;

namespace {

// Runs the event loop until `done` holds or the time is up.
bool waitUntil(const std::function<bool()>& done, std::chrono::milliseconds limit = 5s) {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (!done() && std::chrono::steady_clock::now() < end) {
    QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
  }
  return done();
}

std::vector<std::string> frames(const sim::Ch340Module& board) {
  std::vector<std::string> texts;
  for (const auto& frame : board.log()) texts.push_back(frame.text);
  return texts;
}

// The rig service on a CH340 board named by a stable link, as a udev by-id link names a real
// one; the board is unplugged (its terminal hangs up, the link goes) and plugged in again on
// another terminal behind the same link.
class BoardReconnect : public ::testing::Test {
 protected:
  BoardReconnect() {
    link_ = std::filesystem::temp_directory_path() /
            ("quillmar-board-" + std::to_string(::getpid()) + "-" +
             ::testing::UnitTest::GetInstance()->current_test_info()->name());
    plugIn();
    rig_.useBoard({"ch340", link_.string()}, [] {
      boards::Catalog::Parts parts;
      parts.ports = [] { return std::vector<boards::SerialPort>{}; };
      return std::make_unique<boards::Catalog>(parts);
    });
    QObject::connect(&rig_, &service::RigHost::stateChanged,
                     [this](const service::State& state) { state_ = state; });
    QObject::connect(&rig_, &service::RigService::linkLost, [this] { ++lossesTold_; });
  }
  ~BoardReconnect() override { std::filesystem::remove(link_); }

  void plugIn() {
    board_ = std::make_unique<sim::Ch340Module>(2);
    std::filesystem::remove(link_);
    std::filesystem::create_symlink(board_->devicePath(), link_);
  }
  void unplug() {
    std::filesystem::remove(link_);
    board_.reset();
  }
  service::Result ask(service::Action action) {
    service::Request request;
    request.action = action;
    std::optional<service::Result> result;
    rig_.submit(request, [&result](const service::Result& r) { result = r; });
    EXPECT_TRUE(waitUntil([&result] { return result.has_value(); }));
    return result.value_or(service::Result{});
  }

  std::filesystem::path link_;
  std::unique_ptr<sim::Ch340Module> board_;
  service::RigService rig_{[] { return std::make_unique<serial::CommControl>(serial::PortMap{}); }};
  service::State state_;
  int lossesTold_ = 0;
};

TEST_F(BoardReconnect, AnUnpluggedBoardIsLostThenFoundAgainByItsNameAndReset) {
  const service::Result opened = ask(service::Action::Open);
  ASSERT_TRUE(opened.ok) << opened.message.toStdString();
  EXPECT_EQ(opened.state.status, QStringLiteral("Port Found and Opened"));
  ASSERT_TRUE(board_->waitForFrames(4, 2000ms));

  unplug();
  ASSERT_TRUE(waitUntil([this] { return state_.rig.link == rig::Link::Lost; }));
  EXPECT_EQ(state_.status, QStringLiteral("Port Lost"));
  // Told once; the notice may reach this thread just after the state.
  EXPECT_TRUE(waitUntil([this] { return lossesTold_ == 1; }));

  plugIn();
  ASSERT_TRUE(waitUntil([this] {
    return state_.rig.link == rig::Link::Opened && state_.rig.reconnected && !state_.busy;
  }));
  // Found again by its name on the new terminal: opened (every relay off) and reset.
  ASSERT_TRUE(board_->waitForFrames(4, 2000ms));
  EXPECT_EQ(frames(*board_),
            (std::vector<std::string>{"relay 1 off", "relay 2 off", "relay 1 off", "relay 2 off"}));
  EXPECT_TRUE(ask(service::Action::Flash).ok);
  ASSERT_TRUE(board_->waitForFrames(5, 2000ms));
  EXPECT_EQ(frames(*board_).back(), "relay 1 on");
  EXPECT_EQ(lossesTold_, 1);
}

// An action that meets the unplugged board fails, and tells the loss itself: the status box then
// reads "Port Lost" all the same, with no second notice.
TEST_F(BoardReconnect, AnActionThatMeetsTheLossFailsAndTheBoardIsAwaitedAllTheSame) {
  ASSERT_TRUE(ask(service::Action::Open).ok);
  ASSERT_TRUE(board_->waitForFrames(4, 2000ms));
  unplug();
  const service::Result flash = ask(service::Action::Flash);
  EXPECT_FALSE(flash.ok);
  ASSERT_TRUE(waitUntil([this] { return state_.rig.link == rig::Link::Lost; }));
  plugIn();
  EXPECT_TRUE(waitUntil([this] { return state_.rig.link == rig::Link::Opened; }));
}

// A long pulse on a board named in place of the port ends when the board is unplugged, not when
// the pulse would have: the shutter of the board put back is off from its reset on.
TEST_F(BoardReconnect, ABoardUnpluggedDuringALongPulseEndsItAtOnce) {
  ASSERT_TRUE(ask(service::Action::Open).ok);
  service::Request bulb;
  bulb.action = service::Action::Shutter;
  bulb.times.pulse = 60.0;
  std::optional<service::Result> result;
  rig_.submit(bulb, [&result](const service::Result& r) { result = r; });
  ASSERT_TRUE(waitUntil([this] { return board_->relay(1); }));

  const auto pulled = std::chrono::steady_clock::now();
  unplug();
  ASSERT_TRUE(waitUntil([&result] { return result.has_value(); }, 10s));
  EXPECT_LT(std::chrono::steady_clock::now() - pulled, 2s) << "not when the pulse would end";
  EXPECT_EQ(result->failure.kind, rig::FailureKind::DeviceGone) << result->message.toStdString();
  ASSERT_TRUE(waitUntil([this] { return state_.rig.link == rig::Link::Lost; }));
  plugIn();
  ASSERT_TRUE(waitUntil([this] {
    return state_.rig.link == rig::Link::Opened && state_.rig.reconnected && !state_.busy;
  }));
  EXPECT_TRUE(ask(service::Action::Shutter).ok);
}

// One simulated board of a kind, behind a stable link as a udev by-id link names a real one (a
// HID board: on the HID bus at that path).
struct Plugged {
  std::shared_ptr<void> board;  // the simulator, held while plugged in
  std::function<bool(int)> relay;
  std::function<void()> unplug;  // more than letting the simulator go
};

// `flashOn`: the board comes back with relay 0 on, as one switched by hand would.
Plugged plugInto(const std::string& kind, const std::string& link, sim::HidRelayBus& hid,
                 bool flashOn = false) {
  Plugged plugged;
  std::string device;
  if (kind == "hid") {
    const std::lock_guard lock(hid.guard);
    sim::HidRelayModule& board = hid.boards[link];
    board = sim::HidRelayModule{};
    board.id = link.back() == 'a' ? "RIGA" : "RIGB";
    board.state = flashOn ? 1 : 0;
    plugged.relay = [&hid, &board](int n) {
      const std::lock_guard lock(hid.guard);
      return ((board.state >> n) & 1U) != 0;
    };
    plugged.unplug = [&hid, &board] {
      const std::lock_guard lock(hid.guard);
      board.gone = true;
    };
    return plugged;
  }
  if (kind == "ch340") {
    auto board = std::make_shared<sim::Ch340Module>(2);
    device = board->devicePath();
    plugged.relay = [board](int n) { return board->relay(n); };
    plugged.board = board;
  } else if (kind == "text") {
    sim::Options options;
    options.relays = 2;
    auto board = std::make_shared<sim::RelayModule>(options);
    board->setRelay(0, flashOn);
    device = board->devicePath();
    plugged.relay = [board](int n) { return board->relay(n); };
    plugged.board = board;
  } else {
    sim::ModbusModule::Options options;
    options.coils = 2;
    options.on = flashOn ? 1U : 0U;
    auto board = std::make_shared<sim::ModbusModule>(options);
    device = board->devicePath();
    plugged.relay = [board](int n) { return board->coil(n); };
    plugged.board = board;
  }
  std::filesystem::remove(link);
  std::filesystem::create_symlink(device, link);
  return plugged;
}

// A rig file's two boards of one kind, each with a camera's shutter on relay 1; board a also
// carries the flash on relay 0. Run on each family's simulator.
class RigFileReconnect : public ::testing::TestWithParam<std::string> {
 protected:
  RigFileReconnect() {
    std::string test = ::testing::UnitTest::GetInstance()->current_test_info()->name();
    std::replace(test.begin(), test.end(), '/', '-');
    const std::string stem = std::filesystem::temp_directory_path() /
                             ("quillmar-rig-" + std::to_string(::getpid()) + "-" + test);
    links_ = {stem + "-a", stem + "-b"};
    plugIn(0);
    plugIn(1);
    const auto name = [this](std::size_t board) {
      if (GetParam() == "hid") return rig::BoardName{"hid", board == 0 ? "RIGA" : "RIGB"};
      return rig::BoardName{GetParam(),
                            GetParam() == "modbus" ? links_[board] + "@1" : links_[board]};
    };
    rig::RigDescription description;
    description.boards = {{"a", name(0), 2}, {"b", name(1), 2}};
    firstName_ = name(0).text();
    description.cameras = {{"left", {"a", 1}, std::nullopt, {}},
                           {"right", {"b", 1}, std::nullopt, {}}};
    description.flashes = {{"main", {"a", 0}}};
    rig_.useRig(description, [hid = hid_] {
      boards::Catalog::Parts parts;
      parts.ports = [] { return std::vector<boards::SerialPort>{}; };
      parts.hid = hid;
      parts.modbusOptions.timeout = 200ms;
      return std::make_unique<boards::Catalog>(parts);
    });
    QObject::connect(&rig_, &service::RigHost::stateChanged,
                     [this](const service::State& state) { state_ = state; });
  }
  ~RigFileReconnect() override {
    for (const std::string& link : links_) std::filesystem::remove(link);
  }

  void plugIn(std::size_t board, bool flashOn = false) {
    boards_[board] = plugInto(GetParam(), links_[board], *hid_, flashOn);
  }
  void unplug(std::size_t board) {
    std::filesystem::remove(links_[board]);
    if (boards_[board].unplug) boards_[board].unplug();
    boards_[board] = {};
  }
  bool on(std::size_t board, int relay) { return boards_[board].relay(relay); }
  // The relay as the board has it once what is on the line has reached it (a text module's
  // switch is not answered).
  bool becomes(std::size_t board, int relay, bool state) {
    return waitUntil([&] { return on(board, relay) == state; }, 1s);
  }
  void submit(const service::Request& request, std::optional<service::Result>& result) {
    rig_.submit(request, [&result](const service::Result& r) { result = r; });
  }
  service::Result ask(service::Action action) {
    service::Request request;
    request.action = action;
    std::optional<service::Result> result;
    submit(request, result);
    EXPECT_TRUE(waitUntil([&result] { return result.has_value(); }));
    return result.value_or(service::Result{});
  }

  // Before the boards and the rig: the catalog and the HID boards' last looks use it.
  std::shared_ptr<sim::HidRelayBus> hid_ = std::make_shared<sim::HidRelayBus>();
  std::vector<std::string> links_;
  std::string firstName_;  // board a's name: "ch340:/tmp/..."
  Plugged boards_[2];
  service::RigService rig_{[] { return std::make_unique<serial::CommControl>(serial::PortMap{}); }};
  service::State state_;
};

TEST_P(RigFileReconnect, AnUnpluggedBoardIsShownLostAndTheRigIsReopenedAndResetWhenItIsBack) {
  ASSERT_TRUE(ask(service::Action::Open).ok);
  ASSERT_TRUE(ask(service::Action::Flash).ok);
  EXPECT_TRUE(becomes(0, 0, true));

  unplug(0);
  ASSERT_TRUE(waitUntil([this] { return state_.rig.link == rig::Link::Lost; }));
  EXPECT_EQ(state_.status, QStringLiteral("Port Lost"));
  EXPECT_NE(state_.rig.reason.find("board a (" + firstName_ + ")"), std::string::npos)
      << state_.rig.reason;
  EXPECT_FALSE(ask(service::Action::Shutter).ok) << "nothing fires on a rig with a board lost";
  EXPECT_TRUE(becomes(1, 1, false));

  // Back (a text module with its flash on): reset before anything else.
  plugIn(0, true);
  ASSERT_TRUE(waitUntil([this] {
    return state_.rig.link == rig::Link::Opened && state_.rig.reconnected && !state_.busy;
  }));
  EXPECT_TRUE(becomes(0, 0, false));
  EXPECT_TRUE(ask(service::Action::Shutter).ok);
}

TEST_P(RigFileReconnect, ABoardLostDuringABulbEndsTheExposureOnEveryBoardAtOnce) {
  ASSERT_TRUE(ask(service::Action::Open).ok);
  service::Request bulb;
  bulb.action = service::Action::Shutter;
  bulb.times.pulse = 60.0;
  std::optional<service::Result> result;
  submit(bulb, result);
  // Both shutters open, as the rig has it once every board has answered: the exposure runs.
  ASSERT_TRUE(waitUntil([this] {
    return state_.roles && std::ranges::all_of(state_.roles->cameras, [](const auto& camera) {
             return camera.shutter == rig::LineState::On;
           });
  }));

  const auto pulled = std::chrono::steady_clock::now();
  unplug(0);
  ASSERT_TRUE(waitUntil([&result] { return result.has_value(); }, 10s));
  EXPECT_LT(std::chrono::steady_clock::now() - pulled, 2s) << "not when the exposure would end";
  EXPECT_FALSE(result->ok);
  EXPECT_EQ(result->failure.kind, rig::FailureKind::DeviceGone) << result->message.toStdString();
  EXPECT_TRUE(becomes(1, 1, false)) << "the other board's shutter is released";

  ASSERT_TRUE(waitUntil([this] { return state_.rig.link == rig::Link::Lost; }));
  plugIn(0);
  ASSERT_TRUE(waitUntil([this] { return state_.rig.link == rig::Link::Opened && !state_.busy; }));
  EXPECT_TRUE(becomes(0, 1, false));
}

INSTANTIATE_TEST_SUITE_P(EveryFamily, RigFileReconnect,
                         ::testing::Values("ch340", "text", "modbus", "hid"),
                         [](const auto& info) { return info.param; });

}  // namespace
