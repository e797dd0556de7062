#include "EventStream.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

namespace bench {

int connectTo(quint16 port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const int one = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

bool sendAll(int fd, const std::string& bytes) {
  return ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size());
}

EventStream::EventStream(quint16 port, const QString& token) : fd_(connectTo(port)) {
  if (fd_ < 0) return;
  reader_ = std::thread([this] {
    std::string pending;
    char buffer[65536];
    while (reading_) {
      const ssize_t got = ::recv(fd_, buffer, sizeof buffer, 0);
      if (got <= 0) break;
      const auto at = Clock::now();
      pending.append(buffer, static_cast<std::size_t>(got));
      std::size_t found = 0;
      const std::lock_guard guard(lock_);
      while ((found = pending.find("\ndata: {\"rig\"")) != std::string::npos) {
        arrived_.push_back(at);
        pending.erase(0, found + 1);
      }
    }
  });
  open_ = sendAll(fd_, "GET /api/events HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) +
                           "\r\nAuthorization: Bearer " + token.toStdString() + "\r\n\r\n");
}

std::size_t EventStream::count() {
  const std::lock_guard guard(lock_);
  return arrived_.size();
}

std::vector<EventStream::Clock::time_point> EventStream::close() {
  if (fd_ >= 0) {
    reading_ = false;
    ::shutdown(fd_, SHUT_RDWR);
    reader_.join();
    ::close(fd_);
    fd_ = -1;
  }
  const std::lock_guard guard(lock_);
  return arrived_;
}

}  // namespace bench
