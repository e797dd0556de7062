#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "sim/Ch340Module.h"
#include "support/PtyClient.h"

using namespace std::chrono_literals;

namespace {

// What the simulated board does with frames a driver should never send.
TEST(Ch340Module, RejectsBadFramesAndResynchronisesOnTheStartByte) {
  EXPECT_THROW(sim::Ch340Module(3), std::invalid_argument);
  sim::Ch340Module module(2);
  PtyClient client(module.devicePath());
  ASSERT_TRUE(client.isOpen());
  // A bad checksum, a relay it has not, noise, then a good frame split over two writes.
  ASSERT_TRUE(client.write(std::string("\xA0\x01\x01\xA3", 4)));
  ASSERT_TRUE(client.write(std::string("\xA0\x03\x01\xA4", 4)));
  ASSERT_TRUE(client.write(std::string("\x5A", 1)));
  ASSERT_TRUE(client.write(std::string("\xA0\x02", 2)));
  ASSERT_TRUE(client.write(std::string("\x01\xA3", 2)));
  ASSERT_TRUE(module.waitForFrames(4, 2000ms));
  const auto log = module.log();
  std::vector<std::string> texts;
  for (const auto& frame : log) texts.push_back(frame.text);
  EXPECT_EQ(texts, (std::vector<std::string>{"rejected A0 01 01 A3: bad checksum",
                                             "rejected A0 03 01 A4: no relay 3", "stray 5A",
                                             "relay 2 on"}));
  EXPECT_FALSE(log[0].carriedOut);
  EXPECT_TRUE(log[3].carriedOut);
  EXPECT_FALSE(module.relay(0));
  EXPECT_TRUE(module.relay(1));
}

// Paced, a frame counts from its last byte's arrival on a 9600 baud line, and frames sent
// together are taken one after the other.
TEST(Ch340Module, PacedFramesAreStampedAtTheirLastBytesArrival) {
  sim::Ch340Module module(2, true);
  PtyClient client(module.devicePath());
  ASSERT_TRUE(client.isOpen());
  const auto sent = std::chrono::steady_clock::now();
  ASSERT_TRUE(client.write(std::string("\xA0\x01\x01\xA2\xA0\x02\x01\xA3", 8)));
  ASSERT_TRUE(module.waitForFrames(2, 2000ms));
  const auto log = module.log();
  EXPECT_GE(log[0].at - sent, 4 * sim::Ch340Module::kByteTime);
  EXPECT_GE(log[1].at - log[0].at, 4 * sim::Ch340Module::kByteTime);
  EXPECT_TRUE(module.relay(1));
}

}  // namespace
