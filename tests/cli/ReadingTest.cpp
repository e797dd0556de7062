#include <gtest/gtest.h>

#include "cli/Reading.h"

namespace {

TEST(RelayState, IsTheRigsReadingOfTheReply) {
  EXPECT_EQ(cli::relayState("relay read 1\r\noff\r\n>", 1), "off");
  EXPECT_EQ(cli::relayState("relay read 0\r\non\r\n>", 0), "on");
  // No echo, the other relay's echo, a word that only starts like a state, nothing.
  EXPECT_EQ(cli::relayState("\r\noff\r\n>", 0), "unknown");
  EXPECT_EQ(cli::relayState("relay read 0\r\non\r\n>", 1), "unknown");
  EXPECT_EQ(cli::relayState("relay read 0\r\nonce\r\n>", 0), "unknown");
  EXPECT_EQ(cli::relayState("", 0), "unknown");
}

}  // namespace
