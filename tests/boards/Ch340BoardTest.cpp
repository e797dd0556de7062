#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "boards/ch340/Ch340Board.h"
#include "rig/Arming.h"
#include "rig/SerialControl.h"
#include "sim/Ch340Module.h"
#include "support/ErrorFrom.h"

using namespace std::chrono_literals;

namespace {

std::vector<std::string> texts(const std::vector<sim::Frame>& frames) {
  std::vector<std::string> out;
  out.reserve(frames.size());
  for (const auto& f : frames) out.push_back(f.text);
  return out;
}

// The driver against the simulated board on its pseudo-terminal.
class Ch340BoardTest : public ::testing::Test {
 protected:
  // The board's log once `count` frames are in.
  std::vector<std::string> frames(std::size_t count) {
    EXPECT_TRUE(module.waitForFrames(count, 2000ms)) << "only " << module.log().size();
    return texts(module.log());
  }

  sim::Ch340Module module{4};
  serial::Ch340Board board{module.devicePath(), 4};
};

TEST_F(Ch340BoardTest, OpeningSwitchesEveryRelayOffAndTheRecordStartsAllOff) {
  board.open();
  EXPECT_EQ(frames(4),
            (std::vector<std::string>{"relay 1 off", "relay 2 off", "relay 3 off", "relay 4 off"}));
  EXPECT_EQ(board.readRelays(), 0U);
  EXPECT_FALSE(board.abilities().readBack);
  EXPECT_FALSE(board.abilities().switchMany);
  EXPECT_EQ(board.name().text(), "ch340:" + module.devicePath());
}

TEST_F(Ch340BoardTest, SwitchesRelaysOneFrameEachAndReadsBackWhatItCommanded) {
  board.open();
  board.switchRelay(2, true);
  board.switchRelays(0b1011, 0b0011);  // relays 0 and 1 on, 3 off, 2 untouched
  const auto log = frames(8);
  EXPECT_EQ(std::vector<std::string>(log.begin() + 4, log.end()),
            (std::vector<std::string>{"relay 3 on", "relay 1 on", "relay 2 on", "relay 4 off"}));
  EXPECT_EQ(board.readRelays(), 0b0111U);
  EXPECT_TRUE(board.readRelay(2));
  EXPECT_FALSE(board.readRelay(3));
  for (int n = 0; n < 4; ++n) EXPECT_EQ(module.relay(n), n < 3) << n;
}

TEST_F(Ch340BoardTest, RefusesRelaysTheBoardHasNotAndUseWhileClosed) {
  EXPECT_EQ(errorFrom([&] { board.switchRelay(0, true); }).kind(), rig::FailureKind::NotOpen);
  EXPECT_EQ(errorFrom([&] { board.readRelays(); }).kind(), rig::FailureKind::NotOpen);
  board.open();
  EXPECT_THROW(board.switchRelay(4, true), std::out_of_range);
  EXPECT_THROW(board.switchRelays(0b10000, 0b10000), std::out_of_range);
  EXPECT_THROW(serial::Ch340Board("/dev/null", 3), std::invalid_argument);
  board.close();
  EXPECT_EQ(errorFrom([&] { board.switchRelay(0, true); }).kind(), rig::FailureKind::NotOpen);
}

TEST(Ch340Board, ASwitchStartsItsFramesTimeOnTheLineAhead) {
  const serial::Ch340Board board("/dev/quillmar-no-such-port", 8);
  EXPECT_EQ(board.switchLead(2, true), rig::wireTime(4));
  // Several relays go a frame each: the first lands after one frame.
  EXPECT_EQ(board.groupLead(0b0110, 0b0110), rig::wireTime(4));
}

TEST(Ch340Board, AMissingPortIsNoDevice) {
  serial::Ch340Board board("/dev/quillmar-no-such-port", 2);
  const auto e = errorFrom([&] { board.open(); });
  EXPECT_EQ(e.kind(), rig::FailureKind::NoDevice) << e.what();
  EXPECT_NE(std::string(e.what()).find("ch340:/dev/quillmar-no-such-port"), std::string::npos);
  EXPECT_FALSE(board.isOpen());
}

TEST(Ch340Frames, CarryTheRelayFromOneAndTheChecksum) {
  EXPECT_EQ(serial::Ch340Board::frame(0, true), (serial::Ch340Board::Frame{0xA0, 1, 1, 0xA2}));
  EXPECT_EQ(serial::Ch340Board::frame(7, false), (serial::Ch340Board::Frame{0xA0, 8, 0, 0xA8}));
}

}  // namespace
