#include "support/Pty.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <stdexcept>

Pty::Pty() {
  master_ = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
  if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0)
    throw std::runtime_error("cannot create a pseudo-terminal");
  const char* name = ptsname(master_);
  if (name == nullptr) throw std::runtime_error("pseudo-terminal has no slave name");
  slavePath_ = name;
  slaveKeeper_ = open(slavePath_.c_str(), O_RDWR | O_NOCTTY);
  if (slaveKeeper_ < 0) throw std::runtime_error("cannot open the pseudo-terminal slave");
}

Pty::~Pty() {
  closeMaster();
  if (slaveKeeper_ >= 0) close(slaveKeeper_);
}

std::string Pty::readMaster(std::chrono::milliseconds wait, std::size_t expected) {
  using Clock = std::chrono::steady_clock;
  std::string received;
  auto deadline = Clock::now() + wait;
  bool settling = false;
  while (true) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) break;
    pollfd fd{master_, POLLIN, 0};
    if (poll(&fd, 1, static_cast<int>(left)) <= 0) continue;
    char chunk[4096];
    const ssize_t n = read(master_, chunk, sizeof chunk);
    if (n > 0) received.append(chunk, static_cast<std::size_t>(n));
    if (n < 0 && errno != EAGAIN && errno != EINTR) break;
    if (!settling && received.size() >= expected) {
      settling = true;
      deadline = std::min(deadline, Clock::now() + std::chrono::milliseconds(100));
    }
  }
  return received;
}

void Pty::writeMaster(const std::string& bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = write(master_, bytes.data() + done, bytes.size() - done);
    if (n > 0) {
      done += static_cast<std::size_t>(n);
    } else if (errno == EAGAIN || errno == EINTR) {
      pollfd fd{master_, POLLOUT, 0};
      poll(&fd, 1, 100);
    } else {
      throw std::runtime_error("write to the pseudo-terminal master failed");
    }
  }
}

void Pty::closeMaster() {
  if (master_ >= 0) close(master_);
  master_ = -1;
}
