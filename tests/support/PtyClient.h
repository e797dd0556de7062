#pragma once

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <string>
#include <string_view>

// The client side of the simulated module's terminal, opened in raw mode like a serial port.
class PtyClient {
 public:
  using Clock = std::chrono::steady_clock;

  explicit PtyClient(const std::string& path) {
    fd_ = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd_ < 0) return;
    termios t{};
    ::tcgetattr(fd_, &t);
    ::cfmakeraw(&t);
    ::tcsetattr(fd_, TCSANOW, &t);
  }
  ~PtyClient() { close(); }
  PtyClient(const PtyClient&) = delete;
  PtyClient& operator=(const PtyClient&) = delete;

  bool isOpen() const { return fd_ >= 0; }
  int fd() const { return fd_; }
  // Number of reads that returned data, to see whether a reply came in pieces.
  int pieces() const { return pieces_; }

  void close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

  // Writes everything, waiting for room at most `timeout`; false when it could not.
  bool write(std::string_view bytes,
             std::chrono::milliseconds timeout = std::chrono::milliseconds(1000)) {
    const auto end = Clock::now() + timeout;
    while (!bytes.empty()) {
      const ssize_t n = ::write(fd_, bytes.data(), bytes.size());
      if (n > 0) {
        bytes.remove_prefix(static_cast<std::size_t>(n));
        continue;
      }
      if (n < 0 && errno != EAGAIN && errno != EINTR) return false;
      if (!waitFor(POLLOUT, end)) return false;
    }
    return true;
  }

  // Reads until `count` bytes arrived, `done` holds for what was read, the connection ends, or
  // `timeout` passes.
  template <typename Done>
  std::string read(std::size_t count, std::chrono::milliseconds timeout, Done done) {
    const auto end = Clock::now() + timeout;
    std::string got;
    while (got.size() < count && !done(got)) {
      char buffer[4096];
      const ssize_t n = ::read(fd_, buffer, std::min(sizeof buffer, count - got.size()));
      if (n > 0) {
        got.append(buffer, static_cast<std::size_t>(n));
        ++pieces_;
        continue;
      }
      if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
        lastError_ = n == 0 ? 0 : errno;
        ended_ = true;
        break;
      }
      if (!waitFor(POLLIN, end)) break;
    }
    return got;
  }

  std::string read(std::size_t count, std::chrono::milliseconds timeout) {
    return read(count, timeout, [](const std::string&) { return false; });
  }

  // Reads up to the "\r\n>" that ends a reply (at most `count` bytes).
  std::string readReply(std::size_t count, std::chrono::milliseconds timeout) {
    return read(count, timeout,
                [](const std::string& got) { return std::string_view(got).ends_with("\r\n>"); });
  }

  // Sends one command with its carriage return and reads the reply.
  std::string ask(std::string_view command, std::size_t replySize,
                  std::chrono::milliseconds timeout = std::chrono::milliseconds(1000)) {
    if (!write(std::string(command) + "\r")) return {};
    return readReply(replySize, timeout);
  }

  // Set when a read reported end of file (lastError 0) or an error such as EIO.
  bool ended() const { return ended_; }
  int lastError() const { return lastError_; }

 private:
  bool waitFor(short events, Clock::time_point end) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now());
    if (left.count() <= 0) return false;
    pollfd p{fd_, events, 0};
    const int ready = ::poll(&p, 1, static_cast<int>(left.count()) + 1);
    if (ready > 0 && (p.revents & (POLLHUP | POLLERR)) && !(p.revents & events)) {
      return true;  // let the next read or write report the hang-up
    }
    return ready > 0 || (ready < 0 && errno == EINTR);
  }

  int fd_ = -1;
  int pieces_ = 0;
  bool ended_ = false;
  int lastError_ = 0;
};

// The exact reply to "relay read N" for a relay in the given state.
inline std::string readReply(int relay, bool on) {
  return "relay read " + std::to_string(relay) + "\r\n" + (on ? "on" : "off") + "\r\n>";
}
