#include "Startup.h"

#include "SimProcess.h"

#include <X11/Xlib.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>  // NOLINT(modernize-deprecated-headers): kill is POSIX, not <csignal>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <thread>
#include <vector>

extern char** environ;

namespace bench {

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// What the window manager would see as the window's title.
constexpr const char* kTitleMark = "KOVRA";
constexpr auto kWindowLimit = 20s;
// Time left to the program after its window is mapped, to paint it, before its peak size is read.
constexpr auto kAfterShown = 500ms;

// The environment for a child on `display` with Qt's X11 platform, built before the fork.
std::vector<std::string> childEnvironment(const std::string& display) {
  std::vector<std::string> env;
  for (char** e = environ; *e != nullptr; ++e) {
    const std::string_view entry(*e);
    if (entry.starts_with("DISPLAY=") || entry.starts_with("QT_QPA_PLATFORM=") ||
        entry.starts_with("WAYLAND_DISPLAY=")) {
      continue;
    }
    env.emplace_back(entry);
  }
  env.push_back("DISPLAY=" + display);
  env.push_back("QT_QPA_PLATFORM=xcb");
  return env;
}

std::vector<char*> pointers(std::vector<std::string>& strings) {
  std::vector<char*> out;
  for (std::string& s : strings) out.push_back(s.data());
  out.push_back(nullptr);
  return out;
}

// Starts `argv` with standard output and error thrown away; -1 on failure.
pid_t spawnQuiet(std::vector<std::string> argv, std::vector<std::string> env) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
  pid_t pid = -1;
  std::vector<char*> args = pointers(argv);
  std::vector<char*> envp = pointers(env);
  const int failed = ::posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  return failed == 0 ? pid : -1;
}

long peakResidentKiB(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string key;
  while (status >> key) {
    if (key == "VmHWM:") {
      long kib = 0;
      status >> kib;
      return kib;
    }
    status.ignore(4096, '\n');
  }
  return 0;
}

void endProcess(pid_t pid) {
  ::kill(pid, SIGTERM);
  reapProcess(pid, 3s);
}

bool titled(Display* display, Window window) {
  char* name = nullptr;
  if (XFetchName(display, window, &name) == 0 || name == nullptr) return false;
  const bool match = std::strstr(name, kTitleMark) != nullptr;
  XFree(name);
  return match;
}

// X errors about windows that are gone by the time their name is asked for are expected.
int ignoreErrors(Display*, XErrorEvent*) { return 0; }

}  // namespace

XServer::~XServer() {
  if (pid_ > 0) endProcess(pid_);
}

bool XServer::start(std::string& error) {
  int fds[2];
  if (::pipe(fds) != 0) {
    error = "pipe failed";
    return false;
  }
  // The write end is inherited by the server, which writes its display number there.
  ::fcntl(fds[0], F_SETFD, FD_CLOEXEC);
  std::vector<std::string> env;
  for (char** e = environ; *e != nullptr; ++e) env.emplace_back(*e);
  pid_ = spawnQuiet({"Xvfb", "-displayfd", std::to_string(fds[1]), "-nolisten", "tcp", "-screen",
                     "0", "1280x1024x24"},
                    env);
  ::close(fds[1]);
  if (pid_ < 0) {
    ::close(fds[0]);
    error = "Xvfb could not be started";
    return false;
  }
  std::string number;
  const auto giveUp = Clock::now() + 10s;
  while (number.empty() || number.back() != '\n') {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(giveUp - Clock::now());
    pollfd p{fds[0], POLLIN, 0};
    char c;
    if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) <= 0 ||
        ::read(fds[0], &c, 1) != 1) {
      ::close(fds[0]);
      error = "Xvfb did not report a display";
      return false;
    }
    number += c;
  }
  ::close(fds[0]);
  number.pop_back();
  display_ = ":" + number;
  return true;
}

std::optional<StartupSample> measureStartup(const std::string& program, const std::string& display,
                                            std::string& error) {
  Display* x = XOpenDisplay(display.c_str());
  if (x == nullptr) {
    error = "cannot connect to the X server " + display;
    return std::nullopt;
  }
  XSetErrorHandler(ignoreErrors);
  XSelectInput(x, DefaultRootWindow(x), SubstructureNotifyMask);
  XSync(x, True);

  std::vector<std::string> env = childEnvironment(display);
  const auto started = Clock::now();
  const pid_t pid = spawnQuiet({program}, std::move(env));
  if (pid < 0) {
    XCloseDisplay(x);
    error = "cannot start " + program;
    return std::nullopt;
  }

  std::optional<Clock::time_point> shown;
  while (!shown) {
    while (!shown && XPending(x) > 0) {
      XEvent event;
      XNextEvent(x, &event);
      if (event.type == MapNotify && titled(x, event.xmap.window)) shown = Clock::now();
    }
    if (shown) break;
    int status = 0;
    if (::waitpid(pid, &status, WNOHANG) == pid) {
      XCloseDisplay(x);
      error = program + " ended before its window was shown";
      return std::nullopt;
    }
    if (Clock::now() - started > kWindowLimit) {
      endProcess(pid);
      XCloseDisplay(x);
      error = "the main window did not appear";
      return std::nullopt;
    }
    pollfd p{ConnectionNumber(x), POLLIN, 0};
    ::poll(&p, 1, 50);
  }
  XCloseDisplay(x);

  std::this_thread::sleep_for(kAfterShown);
  StartupSample sample;
  sample.shownMs = std::chrono::duration<double, std::milli>(*shown - started).count();
  sample.peakRssKiB = static_cast<double>(peakResidentKiB(pid));
  endProcess(pid);
  return sample;
}

}  // namespace bench
