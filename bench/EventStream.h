#pragma once

#include <QString>
#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace bench {

// A plain blocking TCP connection to 127.0.0.1:port, without Nagle's delay; -1 when it cannot
// be made.
int connectTo(quint16 port);
bool sendAll(int fd, const std::string& bytes);

// The phone remote's event stream as a page holds it open, read on a thread of its own that
// stamps each state event as it arrives: the far end of the state-to-page rows.
class EventStream {
 public:
  using Clock = std::chrono::steady_clock;

  EventStream(quint16 port, const QString& token);
  EventStream(const EventStream&) = delete;
  EventStream& operator=(const EventStream&) = delete;
  ~EventStream() { close(); }

  // Whether the stream was opened and asked for.
  bool open() const { return open_; }
  std::size_t count();
  // Ends the reading; the stamps of every state event that came, in order.
  std::vector<Clock::time_point> close();

 private:
  int fd_ = -1;
  bool open_ = false;
  std::mutex lock_;
  std::vector<Clock::time_point> arrived_;
  std::atomic<bool> reading_{true};
  std::thread reader_;
};

}  // namespace bench
