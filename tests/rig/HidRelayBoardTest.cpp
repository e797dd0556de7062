#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "rig/HidRelayBoard.h"
#include "rig/SerialControl.h"
#include "support/ErrorFrom.h"

namespace {

using Report = std::vector<std::uint8_t>;

// A USB HID relay board as the HID seam sees it: it carries out the feature reports it is sent
// and answers reads with its ID and its relays' states.
struct SimulatedBoard {
  std::string product = "USBRelay2";
  std::string id = "QM7YK";
  bool idSettable = true;
  std::uint8_t state = 0;
  std::vector<Report> sent;
  bool gone = false;

  void take(const Report& r) {
    sent.push_back(r);
    const int relays = product.back() - '0';
    const std::uint8_t all = static_cast<std::uint8_t>((1U << relays) - 1);
    const int n = r.at(2);
    switch (r.at(1)) {
      case 0xFF:
        if (n >= 1 && n <= relays) state |= static_cast<std::uint8_t>(1U << (n - 1));
        break;
      case 0xFD:
        if (n >= 1 && n <= relays) state &= static_cast<std::uint8_t>(~(1U << (n - 1)));
        break;
      case 0xFE:
        state = all;
        break;
      case 0xFC:
        state = 0;
        break;
      case 0xFA:
        if (idSettable) id.assign(r.begin() + 2, r.begin() + 7);
        break;
      default:
        break;
    }
  }

  Report answer(std::uint8_t reportId, std::size_t length) const {
    Report r(length, 0);
    r[0] = reportId;
    for (std::size_t i = 0; i < id.size() && i < 5; ++i)
      r[1 + i] = static_cast<std::uint8_t>(id[i]);
    r[8] = state;
    return r;
  }
};

class SimulatedDevice : public rig::HidDevice {
 public:
  explicit SimulatedDevice(SimulatedBoard& board) : board_(board) {}
  void sendFeatureReport(const Report& report) override {
    check();
    board_.take(report);
  }
  Report getFeatureReport(std::uint8_t reportId, std::size_t length) override {
    check();
    return board_.answer(reportId, length);
  }

 private:
  void check() const {
    if (board_.gone) {
      throw rig::SerialError(
          rig::Failure{rig::FailureKind::DeviceGone, std::nullopt, "", "No such device"});
    }
  }
  SimulatedBoard& board_;
};

class SimulatedBus : public rig::HidBus {
 public:
  std::vector<rig::HidDeviceInfo> enumerate(std::uint16_t vendorId,
                                            std::uint16_t productId) override {
    EXPECT_EQ(vendorId, 0x16c0);
    EXPECT_EQ(productId, 0x05df);
    std::vector<rig::HidDeviceInfo> out;
    for (const auto& [path, board] : boards) out.push_back({path, board.product});
    return out;
  }
  std::unique_ptr<rig::HidDevice> open(const std::string& path) override {
    const auto found = boards.find(path);
    if (found == boards.end() || held.contains(path)) {
      throw rig::SerialError(
          rig::Failure{rig::FailureKind::Permission, std::nullopt, path, "Permission denied"});
    }
    return std::make_unique<SimulatedDevice>(found->second);
  }

  std::map<std::string, SimulatedBoard> boards;
  std::set<std::string> held;  // opened by another program
};

class HidRelayBoardTest : public ::testing::Test {
 protected:
  SimulatedBoard& add(const std::string& path, const std::string& product, const std::string& id) {
    SimulatedBoard& b = bus.boards[path];
    b.product = product;
    b.id = id;
    return b;
  }
  SimulatedBus bus;
};

TEST_F(HidRelayBoardTest, FindsRelayBoardsByIdWithTheirRelayCountsAndSkipsOtherDevices) {
  add("/dev/hidraw0", "USBRelay8", "AB12X");
  add("/dev/hidraw1", "USBRelay2", "QM7YK");
  add("/dev/hidraw2", "Some other gadget", "NOPE1");
  add("/dev/hidraw3", "USBRelay4", "HELD1");
  bus.held.insert("/dev/hidraw3");
  const auto found = rig::findHidRelayBoards(bus);
  ASSERT_EQ(found.size(), 2U);
  EXPECT_EQ(found[0].name.text(), "hid:AB12X");
  EXPECT_EQ(found[0].relays, 8);
  EXPECT_EQ(found[0].path, "/dev/hidraw0");
  EXPECT_EQ(found[1].name.text(), "hid:QM7YK");
  EXPECT_EQ(found[1].relays, 2);
  EXPECT_TRUE(found[1].abilities.readBack);

  EXPECT_EQ(rig::hid_relay::relayCount("USBRelay1"), 1);
  for (const char* product : {"USBRelay0", "USBRelay9", "USBRelay", "USBRelay10", "usbrelay2"}) {
    EXPECT_EQ(rig::hid_relay::relayCount(product), 0) << product;
  }
}

TEST_F(HidRelayBoardTest, SwitchesWithFeatureReportsAndReadsTheStateMask) {
  SimulatedBoard& sim = add("/dev/hidraw4", "USBRelay8", "QM7YK");
  rig::HidRelayBoard board(bus, "QM7YK");
  board.open();
  EXPECT_EQ(board.relayCount(), 8);
  board.switchRelay(0, true);
  board.switchRelay(7, true);
  board.switchRelay(0, false);
  ASSERT_EQ(sim.sent.size(), 3U);
  EXPECT_EQ(sim.sent[0], (Report{0, 0xFF, 1, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(sim.sent[1], (Report{0, 0xFF, 8, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(sim.sent[2], (Report{0, 0xFD, 1, 0, 0, 0, 0, 0, 0}));
  // The board's own state, also for a relay switched behind our back.
  sim.state |= 0b100;
  EXPECT_EQ(board.readRelays(), 0b10000100U);
  EXPECT_TRUE(board.readRelay(2));
  EXPECT_THROW(board.switchRelay(8, true), std::out_of_range);
}

TEST_F(HidRelayBoardTest, SwitchesAllTogetherWhenTheyEndAllOnOrAllOffOtherwiseOneByOne) {
  SimulatedBoard& sim = add("/dev/hidraw0", "USBRelay4", "QM7YK");
  rig::HidRelayBoard board(bus, "QM7YK");
  board.open();
  sim.state = 0b0011;
  board.switchRelays(0b1100, 0b1100);  // the rest are on already: all on in one report
  board.switchRelays(0b1111, 0);
  board.switchRelays(0b0101, 0b0001);  // mixed: one report per relay asked for
  ASSERT_EQ(sim.sent.size(), 4U);
  EXPECT_EQ(sim.sent[0][1], 0xFE);
  EXPECT_EQ(sim.sent[1][1], 0xFC);
  EXPECT_EQ(sim.sent[2], (Report{0, 0xFF, 1, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(sim.sent[3], (Report{0, 0xFD, 3, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(sim.state, 0b0001);
}

TEST_F(HidRelayBoardTest, AMissingIdIsNoDeviceADuplicateIdIsRefusedAnUnreadableBoardIsTold) {
  add("/dev/hidraw0", "USBRelay2", "SAME1");
  rig::HidRelayBoard missing(bus, "OTHER");
  EXPECT_EQ(errorFrom([&] { missing.open(); }).kind(), rig::FailureKind::NoDevice);

  add("/dev/hidraw1", "USBRelay2", "SAME1");
  rig::HidRelayBoard twin(bus, "SAME1");
  const auto e = errorFrom([&] { twin.open(); });
  EXPECT_NE(std::string(e.what()).find("/dev/hidraw0 and /dev/hidraw1"), std::string::npos)
      << e.what();
  EXPECT_FALSE(twin.isOpen());

  // A board the user may not open may be the one asked for: that is told, not "not present".
  add("/dev/hidraw2", "USBRelay2", "MINE1");
  bus.held.insert("/dev/hidraw2");
  rig::HidRelayBoard unreadable(bus, "MINE1");
  const auto denied = errorFrom([&] { unreadable.open(); });
  EXPECT_EQ(denied.kind(), rig::FailureKind::Permission) << denied.what();
  EXPECT_EQ(denied.device(), "/dev/hidraw2");
  EXPECT_EQ(errorFrom([&] { twin.readRelays(); }).kind(), rig::FailureKind::NotOpen);
}

TEST_F(HidRelayBoardTest, SetsANewIdAndNoticesABoardThatKeepsItsOwn) {
  SimulatedBoard& sim = add("/dev/hidraw0", "USBRelay2", "SAME1");
  rig::HidRelayBoard board(bus, "SAME1");
  board.open();
  board.setId("RIG2");
  EXPECT_EQ(sim.sent.back(), (Report{0, 0xFA, 'R', 'I', 'G', '2', ' ', 0, 0}));
  EXPECT_EQ(board.name().text(), "hid:RIG2");
  EXPECT_EQ(rig::findHidRelayBoards(bus).at(0).name.identity, "RIG2");
  EXPECT_THROW(board.setId("TOOLONG"), std::invalid_argument);
  EXPECT_THROW(board.setId("A B"), std::invalid_argument);

  sim.idSettable = false;
  const auto e = errorFrom([&] { board.setId("NEW01"); });
  EXPECT_EQ(e.kind(), rig::FailureKind::NotUnderstood);
  EXPECT_EQ(board.name().text(), "hid:RIG2");
}

TEST_F(HidRelayBoardTest, AnUnpluggedBoardIsDeviceGoneAndClosed) {
  SimulatedBoard& sim = add("/dev/hidraw0", "USBRelay2", "QM7YK");
  rig::HidRelayBoard board(bus, "QM7YK");
  board.open();
  sim.gone = true;
  const auto e = errorFrom([&] { board.switchRelay(1, true); });
  EXPECT_EQ(e.kind(), rig::FailureKind::DeviceGone);
  EXPECT_NE(std::string(e.what()).find("hid:QM7YK"), std::string::npos) << e.what();
  EXPECT_FALSE(board.isOpen());
}

}  // namespace
