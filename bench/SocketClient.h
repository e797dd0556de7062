#pragma once

#include <chrono>
#include <optional>
#include <string>

namespace bench {

// A client of the panel's local socket on a plain Unix socket, so that it can run on a thread of
// its own without an event loop, and a request's time is taken right at its write.
class SocketClient {
 public:
  // Throws std::runtime_error when nothing listens at `path`.
  explicit SocketClient(const std::string& path);
  ~SocketClient();
  SocketClient(const SocketClient&) = delete;
  SocketClient& operator=(const SocketClient&) = delete;

  // Writes all of `bytes`; returns the time just before the write.
  std::chrono::steady_clock::time_point send(const std::string& bytes);
  // The next line received, without its line feed; nothing when none came within `timeout` or
  // the connection ended.
  std::optional<std::string> readLine(std::chrono::milliseconds timeout);

 private:
  int fd_ = -1;
  std::string pending_;
};

}  // namespace bench
