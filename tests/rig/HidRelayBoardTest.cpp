#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "boards/hid/HidRelayBoard.h"
#include "rig/SerialControl.h"
#include "sim/HidRelayModule.h"
#include "support/ErrorFrom.h"

namespace {

using Report = sim::HidRelayModule::Report;
using SimulatedBoard = sim::HidRelayModule;

class HidRelayBoardTest : public ::testing::Test {
 protected:
  SimulatedBoard& add(const std::string& path, const std::string& product, const std::string& id) {
    SimulatedBoard& b = bus.boards[path];
    b.product = product;
    b.id = id;
    return b;
  }
  sim::HidRelayBus bus;
};

TEST_F(HidRelayBoardTest, FindsRelayBoardsByIdWithTheirRelayCountsAndSkipsOtherDevices) {
  add("/dev/hidraw0", "USBRelay8", "AB12X");
  add("/dev/hidraw1", "USBRelay2", "QM7YK");
  add("/dev/hidraw2", "Some other gadget", "NOPE1");
  add("/dev/hidraw3", "USBRelay4", "HELD1");
  bus.held.insert("/dev/hidraw3");
  const auto found = rig::findHidRelayBoards(bus);
  EXPECT_EQ(bus.askedVendor, 0x16c0);
  EXPECT_EQ(bus.askedProduct, 0x05df);
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
  EXPECT_EQ(e.kind(), rig::FailureKind::Ambiguous);
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
