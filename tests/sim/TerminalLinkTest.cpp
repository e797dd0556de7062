#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "sim/Terminal.h"
#include "support/PtyClient.h"

using namespace std::chrono_literals;

namespace {

// What goes into one end comes out of the other, both ways, whole and in order, also more than
// one read's worth at a time.
TEST(TerminalLink, CarriesBytesBothWaysInOrder) {
  sim::TerminalLink link(false);
  PtyClient first(link.firstPath());
  PtyClient second(link.secondPath());
  ASSERT_TRUE(first.isOpen());
  ASSERT_TRUE(second.isOpen());
  std::string block;
  for (int i = 0; i < 1000; ++i) block += static_cast<char>(i % 256);
  ASSERT_TRUE(first.write(block));
  EXPECT_EQ(second.read(block.size(), 2000ms), block);
  ASSERT_TRUE(second.write(std::string("\x01\x05\x00\r\n", 5)));
  EXPECT_EQ(first.read(5, 2000ms), std::string("\x01\x05\x00\r\n", 5));
}

// Paced, ten bytes take at least ten byte times of a 9600 baud line to cross, and arrive whole.
TEST(TerminalLink, APacedLinkTakesTheLinesTimeForEachByte) {
  sim::TerminalLink link(true);
  PtyClient first(link.firstPath());
  PtyClient second(link.secondPath());
  const auto sent = std::chrono::steady_clock::now();
  ASSERT_TRUE(first.write("0123456789"));
  EXPECT_EQ(second.read(10, 2000ms), "0123456789");
  EXPECT_GE(std::chrono::steady_clock::now() - sent, 10 * sim::TerminalLink::kByteTime);
}

}  // namespace
