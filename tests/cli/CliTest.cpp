// quillmar-cli run as a child process against the simulated relay module.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "sim/Ch340Module.h"
#include "sim/RelayModule.h"
#include "support/ModuleLog.h"

using namespace std::chrono_literals;

extern char** environ;

namespace {

struct Result {
  int exit = -1;  // the exit status; -1 when it did not exit normally in time
  std::string out;
  std::string err;
};

std::string slurp(const std::string& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// A runtime directory of this test's own, made the environment's for every quillmar-cli it runs:
// under the user's, a panel running on the machine would be found and the command run through
// it, on that panel's rig and not on the test's module.
class PrivateRuntime {
 public:
  PrivateRuntime() {
    std::string path = (std::filesystem::temp_directory_path() / "quillmar-cli-test-XXXXXX");
    if (::mkdtemp(path.data()) == nullptr || ::setenv("XDG_RUNTIME_DIR", path.c_str(), 1) != 0) {
      std::perror("quillmar-cli test: private runtime directory");
      std::abort();
    }
    path_ = path;
  }
  ~PrivateRuntime() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  PrivateRuntime(const PrivateRuntime&) = delete;
  PrivateRuntime& operator=(const PrivateRuntime&) = delete;

 private:
  std::string path_;
};

// quillmar-cli with its standard output and error in scratch files.
class Cli {
 public:
  enum class Stderr { File, ClosedPipe };

  explicit Cli(std::vector<std::string> args, Stderr stderrTo = Stderr::File) {
    static const PrivateRuntime runtime;
    args.insert(args.begin(), QUILLMAR_CLI_PATH);
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    outPath_ = scratch("out");
    errPath_ = scratch("err");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, outPath_.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0600);
    int fds[2] = {-1, -1};
    if (stderrTo == Stderr::ClosedPipe && ::pipe(fds) == 0) {
      posix_spawn_file_actions_adddup2(&actions, fds[1], STDERR_FILENO);
      posix_spawn_file_actions_addclose(&actions, fds[0]);
      posix_spawn_file_actions_addclose(&actions, fds[1]);
    } else {
      posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, errPath_.c_str(),
                                       O_WRONLY | O_CREAT | O_TRUNC, 0600);
    }
    if (posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
    // With both ends closed here, the child's first progress line meets a reader that is gone.
    for (const int fd : fds) {
      if (fd >= 0) ::close(fd);
    }
  }
  ~Cli() {
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
    ::unlink(outPath_.c_str());
    ::unlink(errPath_.c_str());
  }
  Cli(const Cli&) = delete;
  Cli& operator=(const Cli&) = delete;

  void signal(int number) const { ::kill(pid_, number); }

  Result finish(std::chrono::milliseconds timeout = 15s) {
    Result result;
    const auto end = std::chrono::steady_clock::now() + timeout;
    while (pid_ > 0 && std::chrono::steady_clock::now() < end) {
      int status = 0;
      if (::waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        result.exit = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        break;
      }
      ::usleep(2000);
    }
    result.out = slurp(outPath_);
    result.err = slurp(errPath_);
    return result;
  }

 private:
  static std::string scratch(const char* what) {
    static int count = 0;
    return (std::filesystem::temp_directory_path() /
            ("quillmar-cli-test-" + std::to_string(::getpid()) + "-" + std::to_string(++count) +
             "-" + what))
        .string();
  }

  pid_t pid_ = -1;
  std::string outPath_;
  std::string errPath_;
};

Result runCli(std::vector<std::string> args) { return Cli(std::move(args)).finish(); }

// Waits until the serve started under `name` has opened its port and reset the rig (status
// answers at once, also during the opening).
bool served(const std::string& name) {
  for (int i = 0; i < 100; ++i) {
    const std::string state = runCli({"--name", name, "status"}).out;
    if (state.find("busy: false\nlink: open\n") != std::string::npos) return true;
    std::this_thread::sleep_for(50ms);
  }
  return false;
}

std::vector<std::string> commands(const sim::RelayModule& module) {
  std::vector<std::string> texts;
  for (const auto& command : module.log()) texts.push_back(command.text);
  return texts;
}

// Waits for the module to log `count` commands, then returns them all.
std::vector<std::string> commands(const sim::RelayModule& module, std::size_t count) {
  module.waitForCommands(count, 1s);
  return commands(module);
}

using Lines = std::vector<std::string>;
// What every command but ports and scan sends first: the reset of the opening.
const Lines kOpening = {"relay off 0", "relay off 1"};

Lines concat(std::initializer_list<Lines> parts) {
  Lines all;
  for (const Lines& part : parts) all.insert(all.end(), part.begin(), part.end());
  return all;
}

class CliOnModule : public ::testing::Test {
 protected:
  std::vector<std::string> onPort1(std::vector<std::string> args) {
    args.insert(args.begin(), {"--ports", module.devicePath(), "--port", "1"});
    return args;
  }
  sim::RelayModule module;
};

// A script started before its module: --wait holds the opening until the device appears.
TEST_F(CliOnModule, WaitOpensTheDeviceOnceItAppears) {
  const std::string link = (std::filesystem::temp_directory_path() /
                            ("quillmar-cli-test-" + std::to_string(::getpid()) + "-later"))
                               .string();
  Cli cli({"--ports", link, "--port", "1", "--wait", "10", "reset"});
  std::this_thread::sleep_for(300ms);
  EXPECT_TRUE(module.log().empty());
  ASSERT_EQ(::symlink(module.devicePath().c_str(), link.c_str()), 0);
  const Result r = cli.finish();
  ::unlink(link.c_str());
  EXPECT_EQ(r.exit, 0) << r.err;
  EXPECT_NE(r.err.find("waiting up to 10000 ms"), std::string::npos) << r.err;
  EXPECT_EQ(commands(module, 4), concat({kOpening, kOpening}));
}

TEST_F(CliOnModule, ResetOpensByNumberAndResetsOnceMore) {
  const Result r = runCli(onPort1({"reset"}));
  EXPECT_EQ(r.exit, 0) << r.err;
  EXPECT_EQ(commands(module, 4), concat({kOpening, kOpening}));
  const auto log = module.log();
  ASSERT_EQ(log.size(), 4u);
  EXPECT_GE(secondsBetween(log[2], log[3]), 0.5 - kModuleWakeUpSeconds)
      << "reset without its half-second pause";
  EXPECT_TRUE(r.out.empty()) << r.out;
  // What the panel would show, and a stamped line per command.
  EXPECT_NE(r.err.find("status: Port Found and Opened\n"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("status tooltip: " + module.devicePath() + "\n"), std::string::npos);
  EXPECT_NE(r.err.find("flash button: Flash 1\n"), std::string::npos);
  EXPECT_NE(r.err.find(" sent: relay off 1\n"), std::string::npos);
}

// The port's own rig names no flash and no camera: a name asked of it is refused before the
// port is opened, so the mistake resets nothing.
TEST_F(CliOnModule, NamesOnlyARigFileHasAreRefusedBeforeThePortIsOpened) {
  const Result flash = runCli(onPort1({"flash", "--flash", "key"}));
  EXPECT_EQ(flash.exit, 64) << flash.err;
  EXPECT_NE(flash.err.find("--flash names a flash of a rig file"), std::string::npos) << flash.err;
  const Result shutter = runCli(onPort1({"shutter", "--cameras", "a,b"}));
  EXPECT_EQ(shutter.exit, 64) << shutter.err;
  EXPECT_NE(shutter.err.find("--cameras names cameras of a rig file"), std::string::npos)
      << shutter.err;
  std::this_thread::sleep_for(100ms);
  EXPECT_TRUE(module.log().empty()) << "the port was opened and reset";
}

TEST_F(CliOnModule, FlashTogglesFromTheStateItReads) {
  const Result r = runCli(onPort1({"flash"}));
  EXPECT_EQ(r.exit, 0) << r.err;
  // The opening has just switched the flash off, so the toggle switches it on.
  EXPECT_EQ(commands(module, 4), concat({kOpening, {"relay read 0", "relay on 0"}}));
  EXPECT_TRUE(module.relay(0));
  EXPECT_NE(r.err.find("flash button: Flash 2\n"), std::string::npos) << r.err;
}

TEST_F(CliOnModule, ShutterPulsesForHalfASecondAndEndsOff) {
  const Result r = runCli(onPort1({"shutter"}));
  EXPECT_EQ(r.exit, 0) << r.err;
  EXPECT_EQ(commands(module, 5), concat({kOpening, {"relay read 1", "relay on 1", "relay off 1"}}));
  const auto log = module.log();
  ASSERT_EQ(log.size(), 5u);
  EXPECT_GE(secondsBetween(log[3], log[4]), 0.5 - kModuleWakeUpSeconds);
  EXPECT_LT(secondsBetween(log[3], log[4]), 0.8);
  EXPECT_FALSE(module.relay(1));
}

TEST_F(CliOnModule, ShutterEndsOffEvenWhenNobodyReadsTheProgressLines) {
  Cli cli(onPort1({"shutter"}), Cli::Stderr::ClosedPipe);
  const Result r = cli.finish();
  EXPECT_EQ(r.exit, 0);
  EXPECT_EQ(commands(module, 5), concat({kOpening, {"relay read 1", "relay on 1", "relay off 1"}}));
  EXPECT_FALSE(module.relay(1));
}

TEST_F(CliOnModule, ASeriesOfSequencesKeepsItsTimesAndItsIntervalFromStartToStart) {
  const Result r = runCli(onPort1(
      {"sequence", "--repeat", "2", "--pulse", "0.2", "--pause", "0.1", "--interval", "1.5"}));
  EXPECT_EQ(r.exit, 0) << r.err;
  const Lines run = {"relay read 1", "relay on 1", "relay off 1", "relay read 0", "relay on 0",
                     "relay read 1", "relay on 1", "relay off 1", "relay read 0", "relay off 0"};
  EXPECT_EQ(commands(module, 22), concat({kOpening, run, run}));
  const auto log = module.log();
  ASSERT_EQ(log.size(), 22u);
  // The pulses and pauses asked for, and the second shot a whole interval after the first.
  EXPECT_GE(secondsBetween(log[3], log[4]), 0.2 - kModuleWakeUpSeconds);
  EXPECT_GE(secondsBetween(log[4], log[5]), 0.1 - kModuleWakeUpSeconds);
  EXPECT_GE(secondsBetween(log[3], log[13]), 1.4);
  EXPECT_NE(r.err.find("shot 2 of 2\n"), std::string::npos) << r.err;
}

TEST_F(CliOnModule, ReadPrintsTheStateAndTheEscapedReply) {
  const Result r = runCli(onPort1({"read", "1"}));
  EXPECT_EQ(r.exit, 0) << r.err;
  EXPECT_EQ(r.out, "off \"relay read 1\\r\\noff\\r\\n>\"\n");
  EXPECT_EQ(commands(module, 3), concat({kOpening, {"relay read 1"}}));

  // Without the echo the reply is no state: shown, but the command fails.
  auto options = module.options();
  options.echo = false;
  module.setOptions(options);
  const Result quiet = runCli(onPort1({"--quiet", "read", "0"}));
  EXPECT_EQ(quiet.exit, 3) << quiet.err;
  EXPECT_EQ(quiet.out, "unknown \"\\r\\noff\\r\\n>\"\n");
  EXPECT_NE(quiet.err.find("read failed: port 1 (" + module.devicePath() +
                           "): the relay module's reply was not understood: "
                           "\"\\r\\noff\\r\\n>\""),
            std::string::npos)
      << quiet.err;
}

// At 9600 baud the prompt can come a moment after the answer line has ended: read waits for it,
// so the reply it shows is the whole one.
TEST_F(CliOnModule, ReadShowsTheWholeReplyOfAPacedModule) {
  auto options = module.options();
  options.paced = true;
  options.noise = 20;
  module.setOptions(options);
  for (int run = 0; run < 3; ++run) {
    const Result r = runCli(onPort1({"--quiet", "read", "0"}));
    EXPECT_EQ(r.exit, 3) << r.err;
    EXPECT_TRUE(r.out.ends_with("\\r\\n>\"\n")) << r.out;
  }
}

TEST_F(CliOnModule, ScanSkipsAbsentAndUnmappedPortsAndPrintsTheModulesPort) {
  const Result r = runCli({"--ports", "/nonexistent/ttyQ0,," + module.devicePath(), "scan"});
  EXPECT_EQ(r.exit, 0) << r.err;
  EXPECT_EQ(r.out, "3\n");
  // Only the module was asked; the scan resets the rig, and the opening once more.
  EXPECT_EQ(commands(module, 5), concat({{"id get"}, kOpening, kOpening}));
  EXPECT_NE(r.err.find("status: Port found and opened\n"), std::string::npos) << r.err;
}

TEST_F(CliOnModule, SilentModuleIsReportedWithPortDeviceAndReasonAfterTheBoundedQuery) {
  auto options = module.options();
  options.silent = true;
  module.setOptions(options);
  const auto start = std::chrono::steady_clock::now();
  const Result r = runCli(onPort1({"shutter"}));
  EXPECT_EQ(r.exit, 3) << r.err;
  EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
  EXPECT_NE(r.err.find("port 1 (" + module.devicePath() + "): the relay module did not answer"),
            std::string::npos)
      << r.err;
  // Asked twice, never switched on, and still commanded off.
  EXPECT_EQ(commands(module, 5),
            concat({kOpening, {"relay read 1", "relay read 1", "relay off 1"}}));
}

// On a line at 9600 baud the answer to a run's last command is still arriving when the next run
// opens the port and asks for the module: that tail is no identification.
TEST_F(CliOnModule, AutomaticRightAfterAnotherRunFindsThePacedModule) {
  auto options = module.options();
  options.paced = true;
  module.setOptions(options);
  for (const char* first : {"shutter", "reset"}) {
    const Result before = runCli(onPort1({"--quiet", first}));
    ASSERT_EQ(before.exit, 0) << before.err;
    const Result r = runCli({"--quiet", "--ports", module.devicePath(), "--auto", "flash"});
    EXPECT_EQ(r.exit, 0) << first << ": " << r.err;
  }
}

// Modules that answer late or badly, each with its own quillmar-cli, all at once.
TEST(CliOnOddModules, LateAnswersAreWaitedForAndRepliesThatAreNoStateRefused) {
  const Lines flashed = {"relay read 0", "relay on 0"};
  const Lines pulsed = {"relay read 1", "relay on 1", "relay off 1"};
  const Lines refusedFlash = {"relay read 0"};
  const Lines refusedPulse = {"relay read 1", "relay off 1"};  // the shutter still ends off
  const char* const kRefused = "the relay module's reply was not understood: \"";
  struct Case {
    sim::Options options;
    std::string command;
    const char* failure;  // in the error output; none for a success
    Lines done;           // after the opening
  };
  const Case cases[] = {
      {{.replyDelay = 400ms}, "flash", nullptr, flashed},
      {{.replyDelay = 900ms}, "shutter", nullptr, pulsed},
      // The echo came and the answer did not: no second query.
      {{.replyDelay = 1500ms}, "shutter", "the relay module did not answer", refusedPulse},
      {{.echo = false}, "flash", kRefused, refusedFlash},
      {{.noise = 40}, "shutter", kRefused, refusedPulse},
      {{.garbage = true}, "flash", kRefused, refusedFlash},
      {{.flood = 1 << 20}, "shutter", kRefused, refusedPulse},
  };
  std::vector<std::unique_ptr<sim::RelayModule>> modules;
  std::vector<std::unique_ptr<Cli>> clis;
  for (const Case& c : cases) {
    modules.push_back(std::make_unique<sim::RelayModule>(c.options));
    clis.push_back(std::make_unique<Cli>(std::vector<std::string>{
        "--ports", modules.back()->devicePath(), "--port", "1", c.command}));
  }
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    const Case& c = cases[i];
    SCOPED_TRACE("case " + std::to_string(i) + ": " + c.command);
    const Result r = clis[i]->finish(20s);
    EXPECT_EQ(r.exit, c.failure ? 3 : 0) << r.err;
    if (c.failure) {
      EXPECT_NE(r.err.find(c.command + " failed: port 1 (" + modules[i]->devicePath() +
                           "): " + c.failure),
                std::string::npos)
          << r.err;
    }
    EXPECT_EQ(commands(*modules[i], 2 + c.done.size()), concat({kOpening, c.done}));
  }
}

TEST_F(CliOnModule, ASecondOpenerThroughALinkIsRefusedWhileASequenceRuns) {
  const std::string link = std::filesystem::temp_directory_path() /
                           ("quillmar-cli-test-link-" + std::to_string(::getpid()));
  std::filesystem::remove(link);
  std::filesystem::create_symlink(module.devicePath(), link);
  Cli sequence(onPort1({"sequence"}));
  ASSERT_TRUE(module.waitForCommands(2, 5s));
  const Result flash = runCli({"--ports", link, "--port", "1", "flash"});
  std::filesystem::remove(link);
  EXPECT_EQ(flash.exit, 2) << flash.err;
  EXPECT_NE(flash.err.find("port 1 (" + link + "): Device or resource busy (in use by another"),
            std::string::npos)
      << flash.err;
  EXPECT_EQ(sequence.finish().exit, 0);
  EXPECT_EQ(commands(module, 12).size(), 12U) << "the sequence alone on the line";
  EXPECT_FALSE(module.relay(0));
}

TEST_F(CliOnModule, CtrlCDuringThePulseCommandsTheShutterOffAtOnce) {
  Cli cli(onPort1({"shutter"}));
  ASSERT_TRUE(module.waitForCommands(4, 5s));
  ASSERT_EQ(commands(module).at(3), "relay on 1");
  cli.signal(SIGINT);
  const Result r = cli.finish();
  EXPECT_EQ(r.exit, 130) << r.err;
  const auto log = module.log();
  ASSERT_EQ(log.size(), 5u);
  EXPECT_EQ(log.back().text, "relay off 1");
  EXPECT_LT(secondsBetween(log[3], log[4]), 0.4) << "the pulse ran its course";
  EXPECT_FALSE(module.relay(1));
  EXPECT_NE(r.err.find("stopped by Ctrl-C"), std::string::npos) << r.err;
}

TEST_F(CliOnModule, StoppedSequenceEndsWithTheShutterOffAndTheFlashAsItFound) {
  struct Case {
    int signal;
    int exit;
  };
  for (const Case c : {Case{SIGINT, 130}, Case{SIGTERM, 143}}) {
    SCOPED_TRACE(c.signal);
    const std::size_t before = module.log().size();
    Cli cli(onPort1({"sequence", "--repeat", "3"}));
    // Stop in the pause after the flash went on.
    ASSERT_TRUE(module.waitForCommands(before + 7, 5s));
    ASSERT_EQ(commands(module).at(before + 6), "relay on 0");
    cli.signal(c.signal);
    const Result r = cli.finish();
    EXPECT_EQ(r.exit, c.exit) << r.err;
    const Lines all = commands(module, before + 10);
    EXPECT_EQ(Lines(all.begin() + static_cast<std::ptrdiff_t>(before), all.end()),
              concat({kOpening,
                      {"relay read 1", "relay on 1", "relay off 1", "relay read 0", "relay on 0",
                       "relay off 1", "relay off 0"}}));
    EXPECT_FALSE(module.relay(0));
    EXPECT_FALSE(module.relay(1));
  }
}

TEST_F(CliOnModule, CtrlCDuringTheOpeningResetStillCommandsTheShutterOff) {
  module.setRelay(1, true);
  Cli cli(onPort1({"read", "0"}));
  ASSERT_TRUE(module.waitForCommands(1, 5s));
  cli.signal(SIGINT);
  const Result r = cli.finish();
  EXPECT_EQ(r.exit, 130) << r.err;
  EXPECT_EQ(commands(module, 2), kOpening);
  EXPECT_FALSE(module.relay(1));
  EXPECT_TRUE(r.out.empty()) << r.out;
}

TEST(Cli, PortNotFoundExitsTwoWithTheReason) {
  Result r = runCli({"--ports", "/nonexistent/ttyQ0", "--port", "1", "shutter"});
  EXPECT_EQ(r.exit, 2);
  EXPECT_NE(r.err.find("port not found: port 1 (/nonexistent/ttyQ0): "), std::string::npos)
      << r.err;

  r = runCli({"--ports", "/nonexistent/ttyQ0", "--port", "2", "reset"});
  EXPECT_EQ(r.exit, 2);
  EXPECT_NE(r.err.find("no device for this port number"), std::string::npos) << r.err;

  // A search that finds nothing: an absent device, then a device that is no serial port.
  r = runCli({"--ports", "/nonexistent/ttyQ0,/dev/null", "--auto", "flash"});
  EXPECT_EQ(r.exit, 2);
  EXPECT_NE(r.err.find("no relay module answered on ports 1 to 15"), std::string::npos) << r.err;
}

TEST(Cli, WithoutARunningPanelStatusFailsAndActionsWantAPort) {
  const std::string nobody = "nobody-" + std::to_string(::getpid());
  Result r = runCli({"--name", nobody, "status"});
  EXPECT_EQ(r.exit, 4);
  EXPECT_NE(r.err.find("no panel is running"), std::string::npos) << r.err;
  // --direct asks no panel, so there is no state to show: the same failure.
  r = runCli({"--direct", "status"});
  EXPECT_EQ(r.exit, 4) << r.err;
  EXPECT_NE(r.err.find("no panel is running"), std::string::npos) << r.err;
  r = runCli({"--name", nobody, "flash"});
  EXPECT_EQ(r.exit, 64);
  EXPECT_NE(r.err.find("give --port N or --auto (no panel is running"), std::string::npos) << r.err;
}

TEST_F(CliOnModule, DirectJsonPrintsTheOpeningsAnswerThenTheActions) {
  const Result r = runCli({"--name", "nobody-" + std::to_string(::getpid()), "--json", "-q",
                           "--ports", module.devicePath(), "--port", "1", "flash"});
  EXPECT_EQ(r.exit, 0) << r.err;
  const auto newline = r.out.find('\n');
  ASSERT_NE(newline, std::string::npos) << r.out;
  const std::string open = r.out.substr(0, newline);
  const std::string flash = r.out.substr(newline + 1);
  EXPECT_NE(open.find("\"action\":\"open\""), std::string::npos) << open;
  EXPECT_NE(open.find("{\"command\":\"relay off 0\",\"t\":"), std::string::npos) << open;
  EXPECT_NE(flash.find("\"action\":\"flash\""), std::string::npos) << flash;
  EXPECT_NE(flash.find("\"flash\":\"Flash 2\""), std::string::npos) << flash;
  EXPECT_NE(flash.find("{\"command\":\"relay on 0\",\"t\":"), std::string::npos) << flash;
  EXPECT_EQ(flash.find("relay off"), std::string::npos) << "the opening's commands again";
  EXPECT_NE(flash.find("\"ok\":true"), std::string::npos) << flash;
}

TEST(Cli, PortsPrintsTheMappingAndOpensNothing) {
  const Result r = runCli({"--ports", "/nonexistent/ttyQ0,,/nonexistent/ttyQ2", "ports"});
  EXPECT_EQ(r.exit, 0) << r.err;
  EXPECT_EQ(r.out, "1 /nonexistent/ttyQ0\n2 -\n3 /nonexistent/ttyQ2\n");
}

TEST(Cli, RigCheckPrintsTheRigOrWhatIsWrongByLine) {
  const Result good = runCli({"rig", "check", EXAMPLES_DIR "/eight-cameras-focus.toml"});
  EXPECT_EQ(good.exit, 0) << good.err;
  EXPECT_NE(good.out.find("2 boards, 8 cameras, 1 flash\n"), std::string::npos) << good.out;
  EXPECT_NE(good.out.find("camera cam4: shutter ring:7, focus ring:6, delay 30 ms\n"),
            std::string::npos)
      << good.out;

  const std::string bad = (std::filesystem::temp_directory_path() /
                           ("quillmar-rig-" + std::to_string(::getpid()) + ".toml"))
                              .string();
  std::ofstream(bad) << "[boards.a]\nboard = \"hid:QM7YK\"\n[[cameras]]\nname = \"c\"\n"
                        "shutter = \"a:1\"\nfocus = \"a:1\"\n";
  const Result wrong = runCli({"rig", "check", bad});
  std::filesystem::remove(bad);
  EXPECT_EQ(wrong.exit, 78);
  EXPECT_TRUE(wrong.out.empty()) << wrong.out;
  EXPECT_NE(wrong.err.find(bad + ":6: cameras[0].focus: a:1 is already camera c's shutter"),
            std::string::npos)
      << wrong.err;
}

// Whose mistake it was, end to end through serve on a rig file: each status as the scripting
// guide's table gives it, with the kind of the answer.
TEST(CliOnRigFile, ExitStatusesSayWhoseMistakeItWas) {
  sim::Options options;
  options.relays = 8;
  sim::RelayModule module(options);
  const std::string file = (std::filesystem::temp_directory_path() /
                            ("quillmar-statuses-" + std::to_string(::getpid()) + ".toml"))
                               .string();
  std::ofstream(file) << "[timings]\nfocus = \"100ms\"\n[boards.r]\nboard = \"text:"
                      << module.devicePath()
                      << "\"\nrelays = 8\n[[cameras]]\nname = \"a\"\nfocus = \"r:0\"\n"
                         "shutter = \"r:1\"\n";
  Cli serve({"serve", "--name", "statuses", "--rig-file", file});
  ASSERT_TRUE(served("statuses"));
  struct Row {
    std::vector<std::string> args;
    int status;
    const char* kind;  // of the JSON answer's error; empty for none
  };
  const std::vector<Row> rows = {
      {{"shutter", "--cameras", "a2,b9"}, 64, "bad-request"},
      {{"shutter", "--at", "2611-01-01T00:00:00+00:00"}, 64, "bad-request"},
      // Too near for the focus lead with nothing running: too late, not a conflict.
      {{"shutter", "--in", "250ms", "--local-clock"}, 6, "too-late"},
      {{"shutter", "--cameras", "a", "--pulse", "50ms"}, 0, ""},
  };
  for (const Row& row : rows) {
    std::vector<std::string> args = {"--name", "statuses", "--json"};
    args.insert(args.end(), row.args.begin(), row.args.end());
    const Result r = runCli(args);
    EXPECT_EQ(r.exit, row.status) << row.args.back() << ": " << r.err;
    const std::string kind = row.kind;
    if (kind.empty()) {
      EXPECT_EQ(r.out.find("\"error\""), std::string::npos) << r.out;
    } else {
      EXPECT_NE(r.out.find("\"kind\":\"" + kind + "\""), std::string::npos) << r.out;
    }
  }
  serve.signal(SIGTERM);
  const Result ended = serve.finish();
  EXPECT_EQ(ended.exit, 0);
  EXPECT_NE(ended.err.find("every camera's lines commanded off"), std::string::npos) << ended.err;
  std::filesystem::remove(file);
}

// status on a rig file in words, through a bulb, its stop and the board's loss: each camera
// as its lines stand and on its board, each board's link; the end says what it commanded off.
TEST(CliOnRigFile, StatusTellsEachCameraAndBoardAsTheyStand) {
  sim::Options options;
  options.relays = 8;
  sim::RelayModule module(options);
  const std::string file = (std::filesystem::temp_directory_path() /
                            ("quillmar-words-" + std::to_string(::getpid()) + ".toml"))
                               .string();
  // Named by a link that goes with the board: once it is gone, its terminal's number may be
  // another test's next one, which the serve's reconnection must not find at that path.
  const std::string link = file + ".device";
  std::filesystem::create_symlink(module.devicePath(), link);
  std::ofstream(file) << "[boards.r]\nboard = \"text:" << link
                      << "\"\nrelays = 8\n[[cameras]]\nname = \"a\"\nfocus = \"r:0\"\n"
                         "shutter = \"r:1\"\n[[flashes]]\nname = \"key\"\nline = \"r:2\"\n";
  Cli serve({"serve", "--name", "words", "--rig-file", file});
  ASSERT_TRUE(served("words"));
  const auto status = [] { return runCli({"--name", "words", "status"}).out; };
  const auto has = [](const std::string& text, const std::string& line) {
    return text.find(line + "\n") != std::string::npos;
  };
  const std::string board =
      "board.r: open, device " + link + ", board text:" + link + ", kind text";
  std::string idle = status();
  EXPECT_TRUE(has(idle, "rigFile: " + std::filesystem::path(file).filename().string())) << idle;
  EXPECT_TRUE(has(idle, board)) << idle;
  EXPECT_TRUE(has(idle, "camera.a: closed, board r, shutter off, focus off")) << idle;
  EXPECT_TRUE(has(idle, "flash.key: off, board r")) << idle;

  Cli bulb({"--name", "words", "shutter", "--pulse", "5s"});
  std::string during;
  for (int i = 0; i < 100 && !has(during, "camera.a: shutter open, board r, shutter on, focus on");
       ++i) {
    std::this_thread::sleep_for(50ms);
    during = status();
  }
  EXPECT_TRUE(has(during, "camera.a: shutter open, board r, shutter on, focus on")) << during;
  EXPECT_EQ(runCli({"--name", "words", "stop"}).exit, 0);
  EXPECT_EQ(bulb.finish().exit, 0);
  const std::string after = status();
  EXPECT_TRUE(has(after, "camera.a: closed, board r, shutter off, focus off")) << after;

  // The board gone: shown lost, and the end says nothing could be commanded off, and why.
  module.vanish();
  std::filesystem::remove(link);
  std::string lost;
  for (int i = 0; i < 100 && lost.find("board.r: lost") == std::string::npos; ++i) {
    std::this_thread::sleep_for(50ms);
    lost = status();
  }
  EXPECT_NE(lost.find("board.r: lost"), std::string::npos) << lost;
  EXPECT_TRUE(has(lost, "camera.a: unknown, board r, shutter unknown, focus unknown")) << lost;
  serve.signal(SIGTERM);
  const Result ended = serve.finish();
  EXPECT_EQ(ended.exit, 0);
  EXPECT_NE(
      ended.err.find("no camera's line was commanded off: board r (text:" + link + ") is lost"),
      std::string::npos)
      << ended.err;
  EXPECT_EQ(ended.err.find("relay 1"), std::string::npos) << ended.err;
  std::filesystem::remove(file);
}

TEST(Cli, HelpCoversEveryCommandAndOption) {
  const Result r = runCli({"--help"});
  EXPECT_EQ(r.exit, 0);
  for (const char* word :
       {"scan",    "reset",     "flash",       "shutter",   "sequence",  "read 0|1",
        "ports",   "--ports",   "--port N",    "--auto",    "--repeat",  "--interval",
        "--quiet", "--version", "relay off 0", "Ctrl-C",    "64",        "130",
        "stop",    "--pulse",   "--pause",     "--journal", "--timeout", "rig check FILE"}) {
    EXPECT_NE(r.out.find(word), std::string::npos) << word;
  }
}

TEST(Cli, UsageErrorsExit64BeforeTouchingAnyPort) {
  const std::vector<std::vector<std::string>> wrong = {
      {},
      {"--bogus", "reset"},
      {"jump"},
      {"--port", "1"},
      {"shutter"},
      {"--port", "0", "shutter"},
      {"--port", "1x", "shutter"},
      {"--port", "1", "--auto", "shutter"},
      {"--port", "1", "read"},
      {"--port", "1", "read", "2"},
      {"--port", "1", "shutter", "extra"},
      {"--port", "1", "flash", "--repeat", "2"},
      {"--port", "1", "shutter", "--pause", "0.1"},
      {"--port", "1", "sequence", "--repeat", "0"},
      {"--port", "1", "sequence", "--repeat", "10001"},
      {"--port", "1", "sequence", "--interval", "-1"},
      {"--port", "1", "sequence", "--interval", "nan"},
      {"--timeout", "5", "status"},
      {"--mqtt", "mqtt://127.0.0.1:1", "fire", "shutter", "--in", "1", "--timeout", "-1"},
      {"--port", "1", "sequence", "--interval", "2"},
      {"--port", "1", "shutter", "--pulse", "0.04"},
      {"--port", "1", "shutter", "--pulse", "40ms"},
      {"--port", "1", "shutter", "--pulse", "0.2 sec"},
      {"--port", "1", "shutter", "--pulse", "0.0505s"},
      {"--port", "1", "shutter", "--pulse", "3601"},
      {"--port", "1", "sequence", "--pause", "61"},
      {"--port", "1", "flash", "--journal", "j.log"},
      {"--port", "1", "stop"},
      {"--port", "1", "scan"},
      {"--auto", "ports"},
      {"--port"},
      {"open"},
      {"open", "0"},
      {"open", "automatic"},
      {"--port", "1", "open", "2"},
      {"--port", "1", "status"},
      {"--direct", "flash"},
      {"--json", "--port", "1", "read", "0"},
      {"serve"},
      {"--name", "../up", "--port", "1", "flash"},
      {"--wait", "soon", "--port", "1", "reset"},
      {"--wait", "1", "ports"},
  };
  for (const auto& args : wrong) {
    std::string shown;
    for (const auto& a : args) shown += a + " ";
    const Result r = runCli(args);
    EXPECT_EQ(r.exit, 64) << shown;
    EXPECT_NE(r.err.find("--help"), std::string::npos) << shown << r.err;
    EXPECT_EQ(r.err.find("sent:"), std::string::npos) << shown;
  }
}

}  // namespace

// ---- Boards by name ----

// Two text modules of different widths on pseudo-terminals, as `boards` sees them.
class CliOnBoards : public ::testing::Test {
 protected:
  static sim::Options module(const std::string& id, int relays) {
    sim::Options options;
    options.identification = id;
    options.relays = relays;
    return options;
  }
  std::string ports() const { return wide.devicePath() + "," + narrow.devicePath(); }
  sim::RelayModule wide{module("RIG08", 8)};
  sim::RelayModule narrow{module("RIG02", 2)};
};

TEST_F(CliOnBoards, BoardsListsEachBoardForPeopleAndAsJsonForScripts) {
  const Result people = runCli({"--ports", ports(), "boards"});
  EXPECT_EQ(people.exit, 0) << people.err;
  EXPECT_EQ(people.out, "text-id:RIG08  8 relays  read-back, all-at-once  " + wide.devicePath() +
                            "\ntext-id:RIG02  2 relays  read-back  " + narrow.devicePath() + "\n");

  const Result json = runCli({"--ports", ports(), "boards", "--json"});
  EXPECT_EQ(json.exit, 0) << json.err;
  EXPECT_EQ(json.out, R"([{"abilities":{"allAtOnce":true,"readBack":true,"settableId":false},)"
                      R"("identity":"RIG08","kind":"text-id","name":"text-id:RIG08","path":")" +
                          wide.devicePath() + R"(","relays":8},)" +
                          R"({"abilities":{"allAtOnce":false,"readBack":true,"settableId":false},)"
                          R"("identity":"RIG02","kind":"text-id","name":"text-id:RIG02","path":")" +
                          narrow.devicePath() + R"(","relays":2}])" + "\n");

  // One board by its name; a name no board has is "port not found".
  const Result one =
      runCli({"--ports", ports(), "boards", "--board", "text:" + narrow.devicePath()});
  EXPECT_EQ(one.out, "text-id:RIG02  2 relays  read-back  " + narrow.devicePath() + "\n");
  const Result none = runCli({"--ports", ports(), "boards", "--board", "text-id:RIG99", "--json"});
  EXPECT_EQ(none.exit, 2);
  EXPECT_EQ(none.out, "[]\n");
  EXPECT_NE(none.err.find("no board is text-id:RIG99"), std::string::npos) << none.err;
  // Nothing was switched by listing.
  for (const std::string& command : commands(wide)) EXPECT_NE(command.rfind("relay o", 0), 0U);
}

TEST_F(CliOnBoards, BoardsMarksAnIdentityNoNameCanHoldAndTellsThePortsItPassedOver) {
  sim::RelayModule blank(module("KOVRA 78", 2));
  sim::RelayModule bell(module("CAM\aA", 2));  // a control character, shown escaped
  sim::Options longId = module(std::string(3000, 'A'), 2);
  longId.paced = true;  // its answer has not ended when the half second is up
  sim::RelayModule tooLong(longId);
  sim::Options noisy = module("RIG03", 2);
  noisy.noise = 20;
  sim::RelayModule noise(noisy);
  const Result listed = runCli({"--ports",
                                blank.devicePath() + "," + bell.devicePath() + "," +
                                    tooLong.devicePath() + "," + noise.devicePath() + "," + ports(),
                                "boards"});
  EXPECT_EQ(listed.exit, 0) << listed.err;
  EXPECT_EQ(listed.out, "text-id:KOVRA 78  2 relays  read-back  " + blank.devicePath() +
                            "  (no name: use text:" + blank.devicePath() + ")\n" +
                            "text-id:CAM\\x07A  2 relays  read-back  " + bell.devicePath() +
                            "  (no name: use text:" + bell.devicePath() + ")\n" +
                            "text-id:RIG08     8 relays  read-back, all-at-once  " +
                            wide.devicePath() + "\ntext-id:RIG02     2 relays  read-back  " +
                            narrow.devicePath() + "\n");
  for (const std::string& said :
       {"text-id:KOVRA 78 on " + blank.devicePath() + " cannot be named by its identity",
        std::string("without blanks, colons, quotes or backslashes, not 'CAM\\x07A'"),
        tooLong.devicePath() + R"( passed over: its answer to "id get" had not ended)",
        noise.devicePath() + R"( passed over: what came back to "id get" is no answer to it)"}) {
    EXPECT_NE(listed.err.find(said), std::string::npos) << said << "\n" << listed.err;
  }
  const Result json = runCli({"--ports", blank.devicePath(), "boards", "--json"});
  EXPECT_NE(json.out.find(R"("problem":"a text module's identity names it when)"),
            std::string::npos)
      << json.out;
}

TEST_F(CliOnBoards, BoardOpensATextModuleByItsIdAndRefusesAnAmbiguousOne) {
  const Result flash = runCli({"--ports", ports(), "--board", "text-id:RIG02", "flash"});
  EXPECT_EQ(flash.exit, 0) << flash.err;
  EXPECT_EQ(commands(narrow, 6),
            concat({{"", "id get"}, kOpening, {"relay read 0", "relay on 0"}}));

  sim::RelayModule twin(module("RIG02", 2));
  const Result ambiguous =
      runCli({"--ports", ports() + "," + twin.devicePath(), "--board", "text-id:RIG02", "flash"});
  EXPECT_EQ(ambiguous.exit, 2);
  EXPECT_NE(ambiguous.err.find(narrow.devicePath()), std::string::npos) << ambiguous.err;
  EXPECT_NE(ambiguous.err.find(twin.devicePath()), std::string::npos) << ambiguous.err;
  EXPECT_EQ(commands(twin), (Lines{"", "id get"}));  // asked who it is, never switched
}

TEST_F(CliOnBoards, APortHeldByAnotherProgramIsNamedWithItsHolder) {
  Cli serve({"serve", "--name", "holder", "--ports", narrow.devicePath(), "--port", "1"});
  ASSERT_TRUE(served("holder"));
  const Result listed = runCli({"--ports", ports(), "boards"});
  EXPECT_EQ(listed.exit, 0) << listed.err;
  EXPECT_EQ(listed.out,
            "text-id:RIG08  8 relays  read-back, all-at-once  " + wide.devicePath() + "\n");
  EXPECT_NE(listed.err.find(narrow.devicePath() + " is held by quillmar-cli (process "),
            std::string::npos)
      << listed.err;
  serve.signal(SIGTERM);
  EXPECT_EQ(serve.finish().exit, 0);
}

// A text module by a path that is none of the ports (a link, no --ports): opened as that path.
TEST_F(CliOnBoards, TextByPathOpensALinkThatIsNoneOfThePorts) {
  const std::string link =
      (std::filesystem::temp_directory_path() / ("quillmar-link-" + std::to_string(::getpid())))
          .string();
  std::filesystem::remove(link);
  std::filesystem::create_symlink(wide.devicePath(), link);
  Cli serve({"serve", "--name", "bylink", "--board", "text:" + link});
  ASSERT_TRUE(served("bylink"));
  const Result flash = runCli({"--name", "bylink", "flash"});
  EXPECT_EQ(flash.exit, 0) << flash.err;
  EXPECT_TRUE(wide.relay(0));
  serve.signal(SIGTERM);
  EXPECT_EQ(serve.finish().exit, 0);
  std::filesystem::remove(link);
}

// A CH340 board by its path, end to end: the opening switches every relay off, the reset follows,
// the shutter pulses relay 1 (the board's second).
TEST(CliOnCh340, BoardOpensACh340BoardByItsPathAndPulsesTheShutter) {
  sim::Ch340Module board(2);
  const Result r = runCli({"--board", "ch340:" + board.devicePath(), "--pulse", "0.05", "shutter"});
  EXPECT_EQ(r.exit, 0) << r.err;
  ASSERT_TRUE(board.waitForFrames(6, 2s));
  std::vector<std::string> frames;
  for (const auto& frame : board.log()) frames.push_back(frame.text);
  EXPECT_EQ(frames, (Lines{"relay 1 off", "relay 2 off", "relay 1 off", "relay 2 off", "relay 2 on",
                           "relay 2 off"}));
  EXPECT_NE(r.err.find("Port Found and Opened"), std::string::npos) << r.err;

  const Result missing = runCli({"--board", "ch340:/nonexistent/ttyUSB7", "flash"});
  EXPECT_EQ(missing.exit, 2);
  EXPECT_NE(missing.err.find("no device is /nonexistent/ttyUSB7"), std::string::npos)
      << missing.err;
}

TEST(Cli, BoardOptionsAreCheckedBeforeAnythingIsOpened) {
  const std::vector<std::vector<std::string>> wrong = {
      {"--board", "serial:/dev/ttyUSB0", "flash"},
      {"--board", "hid:", "flash"},
      {"--board", "hid:QM7YK", "--port", "1", "flash"},
      {"--board", "hid:QM7YK", "read", "0"},
      {"--board", "hid:QM7YK", "ports"},
      {"--board", "hid:QM7YK", "--wait", "1", "flash"},
      {"boards", "--set-id", "OLD1"},
      {"boards", "--set-id", "OLD1", "NEW1", "--json"},
      {"--set-id", "OLD1", "NEW1", "flash"},
      {"boards", "extra"},
      {"--port", "1", "boards"},
  };
  for (const auto& args : wrong) {
    const Result r = runCli(args);
    EXPECT_EQ(r.exit, 64) << args.front() << " " << args.back() << ": " << r.err;
  }
  const Result help = runCli({"--help"});
  for (const char* word : {"boards", "--board NAME", "--set-id OLD NEW"}) {
    EXPECT_NE(help.out.find(word), std::string::npos) << word;
  }
}

// Ctrl-C while the ports are asked who they are: the listing ends with the signal's status.
TEST(CliOnSilentBoards, CtrlCWhileListingEndsWithTheSignalsStatus) {
  sim::Options silent;
  silent.silent = true;
  sim::RelayModule first(silent);
  sim::RelayModule second(silent);
  Cli cli({"--ports", first.devicePath() + "," + second.devicePath(), "boards"});
  ASSERT_TRUE(first.waitForCommands(1, 5s));  // "id get" is out on the first port
  cli.signal(SIGINT);
  const Result r = cli.finish();
  EXPECT_EQ(r.exit, 130) << r.err;
  EXPECT_NE(r.err.find("stopped by"), std::string::npos) << r.err;
}
