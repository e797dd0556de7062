#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <string>

#include "sim/RelayModule.h"
#include "support/PtyClient.h"

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

// "\r\n" + answer + "\r\n>" after the echoed command.
std::string reply(const std::string& command, const std::string& answer) {
  return command + "\r\n" + answer + "\r\n>";
}

TEST(RelayModuleReplies, ReadPutsTheStateWordAfterEchoAndLineBreak) {
  sim::RelayModule module;
  PtyClient client(module.devicePath());
  ASSERT_TRUE(client.isOpen());

  const std::string got = client.ask("relay read 0", 64, 300ms);
  EXPECT_EQ(got, readReply(0, false));
  EXPECT_EQ(got.find("off"), 14u);  // character 15, counting from 1
  EXPECT_EQ(client.ask("relay read 1", 64, 300ms), readReply(1, false));
}

TEST(RelayModuleReplies, SwitchingChangesTheRelayAndIsLoggedWithItsTime) {
  sim::RelayModule module;
  PtyClient client(module.devicePath());
  const auto before = Clock::now();

  EXPECT_EQ(client.ask("relay on 1", 64, 300ms), reply("relay on 1", ""));
  const auto after = Clock::now();
  EXPECT_TRUE(module.relay(1));
  EXPECT_FALSE(module.relay(0));
  ASSERT_TRUE(module.waitForCommands(1, 1s));
  const auto log = module.log();
  ASSERT_EQ(log.size(), 1u);
  EXPECT_EQ(log[0].text, "relay on 1");
  EXPECT_GE(log[0].at, before);
  EXPECT_LE(log[0].at, after);

  EXPECT_EQ(client.ask("relay read 1", 64, 300ms), readReply(1, true));
  module.setRelay(1, false);
  module.setRelay(0, true);
  EXPECT_EQ(client.ask("relay read 1", 64, 300ms), readReply(1, false));
  EXPECT_EQ(client.ask("relay off 0", 64, 300ms), reply("relay off 0", ""));
  EXPECT_FALSE(module.relay(0));
  EXPECT_EQ(module.log().size(), 4u);
  ASSERT_EQ(module.logSince(3).size(), 1u);
  EXPECT_EQ(module.logSince(3)[0].text, "relay off 0");
  EXPECT_TRUE(module.logSince(9).empty());
}

TEST(RelayModuleReplies, IdentificationIsConfigurable) {
  {
    sim::RelayModule module;
    PtyClient client(module.devicePath());
    EXPECT_EQ(client.ask("id get", 64, 300ms), reply("id get", "KOVRA 78"));
  }
  sim::Options options;
  options.identification = "KOVRA 16 rev B";
  sim::RelayModule module(options);
  PtyClient client(module.devicePath());
  EXPECT_EQ(client.ask("id get", 64, 300ms), reply("id get", "KOVRA 16 rev B"));
}

TEST(RelayModuleReplies, BadCommandsGetTheErrorWordAndChangeNothing) {
  sim::RelayModule module;
  PtyClient client(module.devicePath());
  for (const std::string command : {"relay on 2", "relay read", "RELAY ON 0", "relay on 01", ""}) {
    EXPECT_EQ(client.ask(command, 64, 300ms), reply(command, "ERROR")) << command;
  }
  EXPECT_FALSE(module.relay(0));
  EXPECT_FALSE(module.relay(1));

  // An endless line is echoed in full but kept only up to the limit, then refused.
  const std::string longLine(1000, 'x');
  const std::string got = client.ask(longLine, 2000, 1000ms);
  EXPECT_EQ(got, reply(longLine, "ERROR"));
  ASSERT_EQ(module.log().size(), 6u);
  EXPECT_EQ(module.log().back().text.size(), sim::RelayModule::kMaxLine);
  // The next line starts fresh.
  EXPECT_EQ(client.ask("relay read 0", 64, 300ms), readReply(0, false));
}

TEST(RelayModuleReplies, LineFeedIsIgnoredAndNoEchoDropsTheEcho) {
  sim::Options options;
  options.echo = false;
  sim::RelayModule module(options);
  PtyClient client(module.devicePath());
  ASSERT_TRUE(client.write("relay on 0\r\n"));
  EXPECT_EQ(client.read(5, 300ms), "\r\n\r\n>");
  EXPECT_EQ(client.ask("\nrelay read 0", 64, 300ms), "\r\non\r\n>");
  EXPECT_EQ(module.log().back().text, "relay read 0");
  EXPECT_EQ(module.received(), "relay on 0\r\n\nrelay read 0\r");
}

TEST(RelayModuleTiming, PacedRepliesArriveInPiecesAtLineSpeed) {
  sim::Options options;
  options.paced = true;
  sim::RelayModule module(options);
  PtyClient client(module.devicePath());
  const auto start = Clock::now();
  const std::string got = client.ask("relay read 0", 20, 1000ms);
  const auto elapsed = Clock::now() - start;
  EXPECT_EQ(got, readReply(0, false));
  // 20 bytes at 1.04 ms a byte: the last one leaves about 19.8 ms after the first.
  EXPECT_GE(elapsed, 19ms);
  EXPECT_GT(client.pieces(), 1);
}

TEST(RelayModuleTiming, PacedCommandIsStampedWhenItsCarriageReturnWouldArriveAtLineSpeed) {
  sim::Options options;
  options.paced = true;
  sim::RelayModule module(options);
  PtyClient client(module.devicePath());
  const auto start = Clock::now();
  // Two commands in one write: the second's carriage return is the 22nd byte on the line.
  ASSERT_TRUE(client.write("relay on 1\rrelay off 1\r"));
  ASSERT_TRUE(module.waitForCommands(2, 1000ms));
  const auto log = module.log();
  EXPECT_GE(log[0].at - start, 11 * sim::RelayModule::kByteTime);
  EXPECT_GE(log[1].at - log[0].at, 12 * sim::RelayModule::kByteTime);
  EXPECT_LT(log[1].at - log[0].at, 12 * sim::RelayModule::kByteTime + 1ms)
      << "one byte after the other, not a read's delay";
}

TEST(RelayModuleTiming, ReplyDelayHoldsTheAnswerButNotTheEcho) {
  sim::Options options;
  options.replyDelay = 150ms;
  sim::RelayModule module(options);
  PtyClient client(module.devicePath());
  const auto start = Clock::now();
  ASSERT_TRUE(client.write("relay read 0\r"));
  EXPECT_EQ(client.read(12, 100ms), "relay read 0");
  EXPECT_LT(Clock::now() - start, 100ms);
  EXPECT_EQ(client.readReply(64, 1000ms), "\r\noff\r\n>");
  EXPECT_GE(Clock::now() - start, 150ms);
}

TEST(RelayModuleTiming, SilentModuleSaysNothingButLogsAndObeys) {
  sim::RelayModule module;
  PtyClient client(module.devicePath());
  EXPECT_EQ(client.ask("relay read 0", 64, 300ms), readReply(0, false));

  auto options = module.options();
  options.silent = true;
  module.setOptions(options);
  EXPECT_EQ(client.ask("relay on 0", 64, 150ms), "");
  EXPECT_TRUE(module.waitForCommands(2, 1s));
  EXPECT_EQ(module.log().back().text, "relay on 0");
  EXPECT_TRUE(module.relay(0));

  // Going silent also drops what was still to be said.
  options.silent = false;
  options.replyDelay = 100ms;
  module.setOptions(options);
  ASSERT_TRUE(client.write("relay read 0\r"));
  EXPECT_EQ(client.read(12, 300ms), "relay read 0");
  options.silent = true;
  module.setOptions(options);
  EXPECT_EQ(client.read(64, 250ms), "");
}

TEST(RelayModuleLink, ClientsCanCloseAndReopenTheTerminal) {
  sim::RelayModule module;
  for (int round = 0; round < 5; ++round) {
    PtyClient client(module.devicePath());
    ASSERT_TRUE(client.isOpen()) << round;
    EXPECT_EQ(client.ask("relay read 1", 64, 300ms), readReply(1, false)) << round;
  }
  // Opening and closing without a word in between, as a port scan does.
  for (int round = 0; round < 20; ++round) PtyClient(module.devicePath()).close();
  PtyClient client(module.devicePath());
  EXPECT_EQ(client.ask("id get", 64, 300ms), reply("id get", "KOVRA 78"));
}

TEST(RelayModuleLink, VanishingHangsUpTheClientAndRemovesTheDevice) {
  sim::RelayModule module;
  PtyClient client(module.devicePath());
  EXPECT_EQ(client.ask("relay read 0", 64, 300ms), readReply(0, false));

  module.vanish();
  EXPECT_EQ(client.read(1, 500ms), "");
  EXPECT_TRUE(client.ended());
  EXPECT_TRUE(client.lastError() == 0 || client.lastError() == EIO) << client.lastError();
  EXPECT_FALSE(PtyClient(module.devicePath()).isOpen());
  // The module object stays usable for inspection.
  EXPECT_EQ(module.log().size(), 1u);
}

TEST(RelayModuleLink, InjectedBytesAndNoiseReachTheClientInOrder) {
  sim::RelayModule module;
  PtyClient client(module.devicePath());
  module.send("stale>");
  module.flood(100'000);
  module.send("!");
  const std::string got = client.read(100'007, 3000ms);
  ASSERT_EQ(got.size(), 100'007u);
  EXPECT_EQ(got.substr(0, 6), "stale>");
  EXPECT_EQ(got.back(), '!');
  const std::string noise = got.substr(6, 100'000);
  EXPECT_EQ(noise.find_first_of("\r\n>"), std::string::npos);
  EXPECT_EQ(noise.find("off"), std::string::npos);
}

TEST(RelayModuleLink, ClientThatNeverReadsCannotStallTheModule) {
  const auto start = Clock::now();
  {
    sim::RelayModule module;
    PtyClient client(module.devicePath());
    module.flood(50'000'000);
    // Commands keep being taken in while nobody reads the answers; their echo and answers
    // overflow and are dropped rather than piling up.
    const std::string burst(200'000, 'z');
    ASSERT_TRUE(client.write(burst + "\r", 3000ms));
    EXPECT_TRUE(module.waitForCommands(1, 3s));
    EXPECT_GT(module.dropped(), 0u);
  }
  EXPECT_LT(Clock::now() - start, 4s);
}

}  // namespace
