#include "SimProcess.h"

#include <poll.h>
#include <sched.h>
#include <signal.h>  // NOLINT(modernize-deprecated-headers): kill is POSIX, not <csignal>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <exception>
#include <stdexcept>
#include <string_view>

namespace bench {

namespace {

using Clock = std::chrono::steady_clock;

bool writeAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

// Lines: "R 1" (real-time priority) or "R 0" and "D <device>" once, then "C <nanoseconds>
// <command>" for each command.
[[noreturn]] void runChild(int fd, pid_t parent, const sim::Options& options) {
  // Never outlive the benchmark, even when it is killed.
  ::prctl(PR_SET_PDEATHSIG, SIGTERM);
  if (::getppid() != parent) ::_exit(0);
  // A module answers at once: run the simulator ahead of every ordinary process, so its time
  // stamps do not take in the wait for a free core (other builds, the benchmark itself). It stays
  // below a rig's armed last stretch (the least real-time priority but one): a real module takes
  // no core from the rig's shot. Without the privilege it runs as a normal process, and says so.
  sched_param priority{};
  priority.sched_priority = sched_get_priority_min(SCHED_FIFO);
  const bool realtime = ::sched_setscheduler(0, SCHED_FIFO, &priority) == 0;
  if (!writeAll(fd, realtime ? "R 1\n" : "R 0\n")) ::_exit(1);
  int status = 0;
  try {
    sim::RelayModule module(options);
    if (!writeAll(fd, "D " + module.devicePath() + "\n")) ::_exit(1);
    std::size_t sent = 0;
    for (;;) {
      // The parent closing its end ends the module.
      pollfd p{fd, POLLIN, 0};
      if (::poll(&p, 1, 0) > 0) {
        char byte;
        if (::read(fd, &byte, 1) <= 0) break;
      }
      if (!module.waitForCommands(sent + 1, std::chrono::milliseconds(20))) continue;
      std::string lines;
      for (const sim::Command& command : module.logSince(sent)) {
        ++sent;
        const auto ns =
            std::chrono::duration_cast<std::chrono::nanoseconds>(command.at.time_since_epoch());
        std::string text = command.text;
        for (char& c : text) {
          if (c == '\n') c = ' ';
        }
        lines += "C " + std::to_string(ns.count()) + " " + text + "\n";
      }
      if (!writeAll(fd, lines)) break;
    }
  } catch (const std::exception&) {
    status = 1;
  }
  ::_exit(status);
}

}  // namespace

SimProcess::SimProcess(const sim::Options& options) {
  int fds[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) {
    throw std::runtime_error("socketpair failed");
  }
  const pid_t parent = ::getpid();
  child_ = ::fork();
  if (child_ < 0) {
    ::close(fds[0]);
    ::close(fds[1]);
    throw std::runtime_error("fork failed");
  }
  if (child_ == 0) {
    ::close(fds[0]);
    runChild(fds[1], parent, options);
  }
  ::close(fds[1]);
  socket_ = fds[0];

  const auto giveUp = Clock::now() + std::chrono::seconds(5);
  while (device_.empty()) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(giveUp - Clock::now());
    if (left.count() <= 0 || !readSome(left)) {
      throw std::runtime_error("the simulated module did not start");
    }
    parseLines();
  }
}

SimProcess::~SimProcess() {
  if (socket_ >= 0) ::close(socket_);
  if (child_ > 0) {
    // The closed socket ends the child within one of its polls; do not wait on a stuck one.
    reapProcess(child_, std::chrono::seconds(2));
  }
}

bool SimProcess::readSome(std::chrono::milliseconds timeout) {
  pollfd p{socket_, POLLIN, 0};
  const int ready = ::poll(&p, 1, static_cast<int>(timeout.count()));
  if (ready <= 0) return ready == 0 || errno == EINTR;
  char buffer[4096];
  const ssize_t n = ::read(socket_, buffer, sizeof buffer);
  if (n <= 0) return n < 0 && errno == EINTR;
  pending_.append(buffer, static_cast<std::size_t>(n));
  return true;
}

void SimProcess::parseLines() {
  std::size_t start = 0;
  for (std::size_t end; (end = pending_.find('\n', start)) != std::string::npos; start = end + 1) {
    const std::string_view line(pending_.data() + start, end - start);
    if (line.starts_with("R ")) {
      realtime_ = line.substr(2) == "1";
    } else if (line.starts_with("D ")) {
      device_ = std::string(line.substr(2));
    } else if (line.starts_with("C ")) {
      const std::string_view rest = line.substr(2);
      const std::size_t space = rest.find(' ');
      const std::string stamp(rest.substr(0, space));
      Entry entry;
      entry.at =
          Clock::time_point(std::chrono::nanoseconds(std::strtoll(stamp.c_str(), nullptr, 10)));
      if (space != std::string_view::npos) entry.text = std::string(rest.substr(space + 1));
      log_.push_back(std::move(entry));
    }
  }
  pending_.erase(0, start);
}

bool SimProcess::waitFor(std::size_t count, std::chrono::milliseconds timeout) {
  const auto giveUp = Clock::now() + timeout;
  for (;;) {
    parseLines();
    if (log_.size() >= count) return true;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(giveUp - Clock::now());
    if (left.count() <= 0) return false;
    if (!readSome(left)) return false;
  }
}

void reapProcess(pid_t pid, std::chrono::milliseconds grace) {
  const auto giveUp = Clock::now() + grace;
  int status = 0;
  while (::waitpid(pid, &status, WNOHANG) == 0) {
    if (Clock::now() >= giveUp) {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, &status, 0);
      return;
    }
    ::usleep(5000);
  }
}

}  // namespace bench
