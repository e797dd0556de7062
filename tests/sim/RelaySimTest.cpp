#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "support/PtyClient.h"

using namespace std::chrono_literals;

extern char** environ;

namespace {

// The relay-sim executable, its stdout on a pipe.
class RelaySim {
 public:
  explicit RelaySim(std::vector<std::string> args) {
    args.insert(args.begin(), RELAY_SIM_PATH);
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    int fds[2];
    if (::pipe(fds) != 0) return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, fds[0]);
    if (posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
    ::close(fds[1]);
    out_ = fds[0];
  }
  ~RelaySim() {
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
    if (out_ >= 0) ::close(out_);
  }

  bool started() const { return pid_ > 0; }

  // One line of stdout without its newline; empty on timeout or end.
  std::string line(std::chrono::milliseconds timeout = 2000ms) {
    const auto end = std::chrono::steady_clock::now() + timeout;
    while (true) {
      if (const auto nl = buffer_.find('\n'); nl != std::string::npos) {
        std::string l = buffer_.substr(0, nl);
        buffer_.erase(0, nl + 1);
        return l;
      }
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          end - std::chrono::steady_clock::now());
      pollfd p{out_, POLLIN, 0};
      if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) <= 0) return {};
      char chunk[512];
      const ssize_t n = ::read(out_, chunk, sizeof chunk);
      if (n <= 0) return {};
      buffer_.append(chunk, static_cast<std::size_t>(n));
    }
  }

  // Waits for the process; its exit status, or -1 when it did not exit normally in time.
  int wait(std::chrono::milliseconds timeout = 2000ms) {
    const auto end = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < end) {
      int status = 0;
      if (::waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
      }
      ::usleep(5000);
    }
    return -1;
  }

  void terminate() const { ::kill(pid_, SIGTERM); }
  void toggle() const { ::kill(pid_, SIGUSR1); }

 private:
  pid_t pid_ = -1;
  int out_ = -1;
  std::string buffer_;
};

std::string scratchPath(const std::string& name) {
  return (std::filesystem::temp_directory_path() /
          ("relay-sim-test-" + std::to_string(::getpid()) + "-" + name))
      .string();
}

TEST(RelaySim, AnnouncesItsTerminalLogsCommandsAndStopsCleanly) {
  const std::string link = scratchPath("link");
  const std::string logFile = scratchPath("log");
  RelaySim sim({"--id", "KOVRA 99", "--link", link, "--log", logFile});
  ASSERT_TRUE(sim.started());

  const std::string first = sim.line();
  const std::string prefix = "relay-sim: module on ";
  ASSERT_EQ(first.rfind(prefix, 0), 0u) << first;
  const std::string device = first.substr(prefix.size());

  PtyClient client(link);
  ASSERT_TRUE(client.isOpen());
  EXPECT_EQ(client.ask("id get", 64, 500ms), "id get\r\nKOVRA 99\r\n>");
  EXPECT_EQ(client.ask("relay on\x01", 64, 500ms), "relay on\x01\r\nERROR\r\n>");

  // "<seconds> <command>", control characters escaped.
  const std::string logged = sim.line();
  std::istringstream fields(logged);
  double seconds = -1;
  std::string text;
  fields >> seconds;
  std::getline(fields >> std::ws, text);
  EXPECT_GE(seconds, 0.0);
  EXPECT_LT(seconds, 5.0);
  EXPECT_EQ(text, "id get");
  const std::string escaped = sim.line();
  EXPECT_NE(escaped.find(" relay on\\x01"), std::string::npos) << escaped;
  client.close();

  sim.terminate();
  EXPECT_EQ(sim.wait(), 0);
  struct stat st {};
  EXPECT_NE(::lstat(link.c_str(), &st), 0) << "link left behind";
  std::ifstream log(logFile);
  std::string fileLine;
  ASSERT_TRUE(std::getline(log, fileLine));
  EXPECT_EQ(fileLine, logged);
  ASSERT_TRUE(std::getline(log, fileLine));
  EXPECT_EQ(fileLine, escaped);
  EXPECT_NE(device.rfind("/dev/", 0), std::string::npos);
  ::unlink(logFile.c_str());
}

TEST(RelaySim, HelpNamesEveryOptionAndBadOptionsFail) {
  {
    RelaySim sim({"--help"});
    std::string all;
    for (int i = 0; i < 50; ++i) all += sim.line() + "\n";
    for (const char* option :
         {"--kind", "--relays", "--id", "--paced", "--delay", "--silent", "--no-echo", "--noise",
          "--garbage", "--flood", "--log", "--link", "--vanish-after", "--return-after", "--repeat",
          "--address", "modbus", "SIGUSR1"}) {
      EXPECT_NE(all.find(option), std::string::npos) << option;
    }
    EXPECT_EQ(sim.wait(), 0);
  }
  EXPECT_EQ(RelaySim({"--delay", "soon"}).wait(), 2);
  EXPECT_EQ(RelaySim({"--noise", "-1"}).wait(), 2);
  EXPECT_EQ(RelaySim({"--flood"}).wait(), 2);
  EXPECT_EQ(RelaySim({"--bogus"}).wait(), 2);
  EXPECT_EQ(RelaySim({"--vanish-after", "-1"}).wait(), 2);
  EXPECT_EQ(RelaySim({"--return-after", "soon"}).wait(), 2);
  EXPECT_EQ(RelaySim({"--kind", "modem"}).wait(), 2);
  EXPECT_EQ(RelaySim({"--kind", "ch340", "--relays", "3"}).wait(), 2);
  // The text module's options mean nothing to a board that never answers.
  EXPECT_EQ(RelaySim({"--kind", "ch340", "--id", "X"}).wait(), 2);
  EXPECT_EQ(RelaySim({"--kind", "modbus", "--delay", "5"}).wait(), 2);
  EXPECT_EQ(RelaySim({"--kind", "modbus", "--relays", "33"}).wait(), 2);
  EXPECT_EQ(RelaySim({"--kind", "modbus", "--address", "248"}).wait(), 2);
  EXPECT_EQ(RelaySim({"--kind", "ch340", "--address", "2"}).wait(), 2);
  EXPECT_EQ(RelaySim({"--address", "2"}).wait(), 2);
}

TEST(RelaySim, PlaysACh340BoardThatPrintsEachFrameAndRejectsBadChecksums) {
  const std::string link = scratchPath("ch340");
  RelaySim sim({"--kind", "ch340", "--relays", "4", "--link", link});
  ASSERT_TRUE(sim.started());
  const std::string first = sim.line();
  ASSERT_EQ(first.rfind("relay-sim: board on /dev/", 0), 0u) << first;

  PtyClient client(link);
  ASSERT_TRUE(client.isOpen());
  ASSERT_TRUE(client.write(std::string("\xA0\x04\x01\xA5\xA0\x04\x01\x00", 8)));
  const std::string on = sim.line();
  EXPECT_NE(on.find(" relay 4 on"), std::string::npos) << on;
  const std::string bad = sim.line();
  EXPECT_NE(bad.find(" rejected A0 04 01 00: bad checksum"), std::string::npos) << bad;
  client.close();

  sim.terminate();
  EXPECT_EQ(sim.wait(), 0);
  struct stat st {};
  EXPECT_NE(::lstat(link.c_str(), &st), 0) << "link left behind";
}

// Comings and goings, timed and on SIGUSR1: each time on a new terminal behind the same link, the
// client of the old one sees a hang-up, and the relays are as the module left them.
TEST(RelaySim, VanishesAndComesBackBehindItsLink) {
  const std::string link = scratchPath("flaky");
  RelaySim sim({"--link", link, "--vanish-after", "0.3", "--return-after", "0.3"});
  const std::string prefix = "relay-sim: module on ";
  const std::string first = sim.line();
  ASSERT_EQ(first.rfind(prefix, 0), 0u) << first;

  {
    PtyClient client(link);
    ASSERT_TRUE(client.isOpen());
    EXPECT_EQ(client.ask("relay on 0", 64, 500ms), "relay on 0\r\n\r\n>");
    EXPECT_NE(sim.line().find("relay on 0"), std::string::npos);
    EXPECT_EQ(sim.line(), "relay-sim: module gone");
    struct stat st {};
    EXPECT_NE(::lstat(link.c_str(), &st), 0) << "link left while gone";
    pollfd p{client.fd(), POLLIN, 0};
    ASSERT_EQ(::poll(&p, 1, 500), 1);
    EXPECT_NE(p.revents & (POLLHUP | POLLERR), 0);
  }

  const std::string second = sim.line();
  ASSERT_EQ(second.rfind(prefix, 0), 0u) << second;
  {
    PtyClient client(link);
    ASSERT_TRUE(client.isOpen());
    EXPECT_EQ(client.ask("relay read 0", 64, 500ms), "relay read 0\r\non\r\n>");
  }
  // Timed once only, without --repeat; SIGUSR1 still works both ways.
  EXPECT_EQ(sim.line(600ms).find("gone"), std::string::npos);
  sim.toggle();
  EXPECT_EQ(sim.line(), "relay-sim: module gone");
  sim.toggle();
  EXPECT_EQ(sim.line().rfind(prefix, 0), 0u);
  sim.terminate();
  EXPECT_EQ(sim.wait(), 0);
  struct stat st {};
  EXPECT_NE(::lstat(link.c_str(), &st), 0) << "link left behind";
}

TEST(RelaySim, RefusesToReplaceAFileWithItsLink) {
  const std::string path = scratchPath("occupied");
  std::ofstream(path) << "keep me\n";
  RelaySim sim({"--link", path});
  EXPECT_EQ(sim.wait(), 1);
  std::ifstream in(path);
  std::string content;
  std::getline(in, content);
  EXPECT_EQ(content, "keep me");
  ::unlink(path.c_str());
}

// A wider module answers the all-relay commands; the two-relay one does not know them, and
// neither takes a mask wider than its relays. The relays carry over when it comes back.
TEST(RelaySim, WiderModuleReadsAndWritesAllRelaysAsAHexMask) {
  for (const char* bad : {"1", "33", "eight"}) EXPECT_EQ(RelaySim({"--relays", bad}).wait(), 2);

  const std::string link = scratchPath("wide");
  RelaySim sim({"--relays", "12", "--link", link});
  const std::string prefix = "relay-sim: module on ";
  ASSERT_EQ(sim.line().rfind(prefix, 0), 0u);
  // The next line about the module itself, past the commands it logged.
  const auto status = [&sim] {
    for (std::string l = sim.line();; l = sim.line()) {
      if (l.empty() || l.starts_with("relay-sim:")) return l;
    }
  };
  {
    PtyClient client(link);
    ASSERT_TRUE(client.isOpen());
    EXPECT_EQ(client.ask("relay readall", 64, 500ms), "relay readall\r\n000\r\n>");
    EXPECT_EQ(client.ask("relay writeall a05", 64, 500ms), "relay writeall a05\r\n\r\n>");
    EXPECT_EQ(client.ask("relay read B", 64, 500ms), "relay read B\r\non\r\n>");
    EXPECT_EQ(client.ask("relay on 1", 64, 500ms), "relay on 1\r\n\r\n>");
    EXPECT_EQ(client.ask("relay readall", 64, 500ms), "relay readall\r\nA07\r\n>");
    for (const char* refused :
         {"relay writeall 1000", "relay writeall", "relay writeall x", "relay on C"}) {
      EXPECT_EQ(client.ask(refused, 64, 500ms), std::string(refused) + "\r\nERROR\r\n>");
    }
  }
  sim.toggle();
  EXPECT_EQ(status(), "relay-sim: module gone");
  sim.toggle();
  ASSERT_EQ(status().rfind(prefix, 0), 0u);
  {
    PtyClient client(link);
    EXPECT_EQ(client.ask("relay readall", 64, 500ms), "relay readall\r\nA07\r\n>");
  }
  sim.terminate();
  EXPECT_EQ(sim.wait(), 0);

  RelaySim two({"--link", link});
  ASSERT_EQ(two.line().rfind(prefix, 0), 0u);
  PtyClient client(link);
  EXPECT_EQ(client.ask("relay readall", 64, 500ms), "relay readall\r\nERROR\r\n>");
  EXPECT_EQ(client.ask("relay on 2", 64, 500ms), "relay on 2\r\nERROR\r\n>");
}

}  // namespace
