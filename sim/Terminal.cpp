#include "sim/Terminal.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <deque>
#include <mutex>
#include <system_error>
#include <utility>

namespace sim {

namespace {

bool makeRaw(int fd) {
  termios t{};
  if (::tcgetattr(fd, &t) != 0) return false;
  ::cfmakeraw(&t);
  ::cfsetispeed(&t, B9600);
  ::cfsetospeed(&t, B9600);
  return ::tcsetattr(fd, TCSANOW, &t) == 0;
}

}  // namespace

void closeFd(int& fd) {
  if (fd >= 0) {
    ::close(fd);
    fd = -1;
  }
}

bool addFlags(int fd, int fdFlags, int statusFlags) {
  const int fdf = ::fcntl(fd, F_GETFD);
  const int stf = ::fcntl(fd, F_GETFL);
  return fdf >= 0 && stf >= 0 && ::fcntl(fd, F_SETFD, fdf | fdFlags) == 0 &&
         ::fcntl(fd, F_SETFL, stf | statusFlags) == 0;
}

Terminal openTerminal() {
  Terminal t;
  auto fail = [&t](const char* what) {
    const int err = errno;
    closeFd(t.slave);
    closeFd(t.master);
    throw std::system_error(err, std::generic_category(), what);
  };
  t.master = ::posix_openpt(O_RDWR | O_NOCTTY);
  if (t.master < 0) fail("posix_openpt");
  if (!addFlags(t.master, FD_CLOEXEC, O_NONBLOCK)) fail("fcntl on the terminal");
  if (::grantpt(t.master) != 0) fail("grantpt");
  if (::unlockpt(t.master) != 0) fail("unlockpt");
  {
    // ptsname returns a static buffer.
    static std::mutex nameMutex;
    std::lock_guard lock(nameMutex);
    const char* name = ::ptsname(t.master);
    if (name == nullptr) fail("ptsname");
    t.path = name;
  }
  t.slave = ::open(t.path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (t.slave < 0) fail("open terminal");
  // No line discipline in the way: no echo back to us, no CR/LF translation.
  if (!makeRaw(t.slave)) fail("raw mode");
  makeRaw(t.master);  // the same settings on Linux; harmless where the master has its own
  return t;
}

}  // namespace sim

namespace sim {

namespace {

using Clock = std::chrono::steady_clock;

// How long the link waits for bytes before it looks at the stop flag again.
constexpr auto kLinkPoll = std::chrono::milliseconds(20);

// Bytes on their way from one terminal to the other, each with the time it is due out.
struct Crossing {
  int from = -1;
  int to = -1;
  std::deque<std::pair<Clock::time_point, char>> bytes;
  Clock::time_point freeAt{};  // paced: when the line is free for the next byte
};

}  // namespace

TerminalLink::TerminalLink(bool paced) : paced_(paced) {
  first_ = openTerminal();
  try {
    second_ = openTerminal();
  } catch (...) {  // passes on, the terminals closed
    closeFd(first_.slave);
    closeFd(first_.master);
    throw;
  }
  worker_ = std::thread(&TerminalLink::run, this);
}

TerminalLink::~TerminalLink() {
  stop_ = true;
  worker_.join();
  for (Terminal* t : {&first_, &second_}) {
    closeFd(t->slave);
    closeFd(t->master);
  }
}

void TerminalLink::run() {
  std::array<Crossing, 2> crossings{Crossing{first_.master, second_.master, {}, {}},
                                    Crossing{second_.master, first_.master, {}, {}}};
  while (!stop_) {
    // Paced bytes go out when due to the microsecond, not at the next whole millisecond.
    Clock::duration wait = kLinkPoll;
    auto now = Clock::now();
    for (const Crossing& c : crossings) {
      if (!c.bytes.empty()) {
        wait = std::min(wait, std::max(c.bytes.front().first - now, Clock::duration::zero()));
      }
    }
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(wait);
    const timespec timeout{static_cast<time_t>(seconds.count()),
                           static_cast<long>((wait - seconds).count())};
    std::array<pollfd, 2> fds{pollfd{first_.master, POLLIN, 0}, pollfd{second_.master, POLLIN, 0}};
    ::ppoll(fds.data(), fds.size(), &timeout, nullptr);
    now = Clock::now();
    for (std::size_t i = 0; i < crossings.size(); ++i) {
      Crossing& c = crossings.at(i);
      if ((fds.at(i).revents & POLLIN) != 0) {
        char buffer[256];
        const ssize_t got = ::read(c.from, buffer, sizeof buffer);
        for (ssize_t k = 0; k < got; ++k) {
          c.freeAt = paced_ ? std::max(c.freeAt, now) + kByteTime : now;
          c.bytes.emplace_back(c.freeAt, buffer[k]);
        }
      }
      // What is due goes out; what the far terminal does not take now waits for the next round.
      std::string due;
      for (const auto& [at, byte] : c.bytes) {
        if (at > now) break;
        due += byte;
      }
      if (due.empty()) continue;
      const ssize_t put = ::write(c.to, due.data(), due.size());
      if (put > 0) c.bytes.erase(c.bytes.begin(), c.bytes.begin() + put);
    }
  }
}

}  // namespace sim
