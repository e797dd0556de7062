#include <fcntl.h>
#include <gtest/gtest.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>

#include "SimProcess.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

int openRaw(const std::string& device) {
  const int fd = ::open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) return fd;
  termios t{};
  ::tcgetattr(fd, &t);
  ::cfmakeraw(&t);
  ::tcsetattr(fd, TCSANOW, &t);
  return fd;
}

TEST(SimProcessTest, ReportsEachCommandWithTheTimeItEndedOnThisMachinesClock) {
  bench::SimProcess sim(sim::Options{});
  ASSERT_FALSE(sim.device().empty());
  const int fd = openRaw(sim.device());
  ASSERT_GE(fd, 0);

  const auto before = Clock::now();
  ASSERT_EQ(::write(fd, "relay on 1\r", 11), 11);
  ASSERT_TRUE(sim.waitFor(1, 3s));
  std::this_thread::sleep_for(20ms);
  const auto between = Clock::now();
  ASSERT_EQ(::write(fd, "id get\r\nrelay read 1\r", 21), 21);
  ASSERT_TRUE(sim.waitFor(3, 3s));
  const auto after = Clock::now();

  const auto& log = sim.log();
  ASSERT_EQ(log.size(), 3u);
  EXPECT_EQ(log[0].text, "relay on 1");
  EXPECT_EQ(log[1].text, "id get");
  EXPECT_EQ(log[2].text, "relay read 1");
  // The module's stamps are on the benchmark's steady clock.
  EXPECT_GE(log[0].at, before);
  EXPECT_LE(log[0].at, between);
  EXPECT_GE(log[1].at, between);
  EXPECT_LE(log[2].at, after);

  // Nothing more is reported when nothing more is sent.
  EXPECT_FALSE(sim.waitFor(4, 100ms));
  ::close(fd);
}

}  // namespace
