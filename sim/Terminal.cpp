#include "sim/Terminal.h"

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <mutex>
#include <system_error>

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
