#pragma once

#include <QByteArray>
#include <QString>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "Requests.h"

namespace service {

// An append-only record of every request that reached the rig, one JSON line each, written by a
// thread of its own so that a slow or full disk never delays a command. Each line goes out in
// one write on a descriptor opened for appending: it is in the file whole or not at all, also
// when the program is killed. The first failure to write ends the journal; it is told once, and
// the rig goes on.
class Journal {
 public:
  // Opens (or creates) `path` for appending; nothing, with `error` set, when it cannot.
  static std::unique_ptr<Journal> open(const QString& path, QString& error);
  // Takes over a descriptor opened for appending.
  explicit Journal(int fd);
  Journal(const Journal&) = delete;
  Journal& operator=(const Journal&) = delete;
  // Writes what is queued, then closes the file.
  ~Journal();

  // Queues one line (without its line end); never waits for the disk. A line that finds the
  // queue full is dropped, and the journal ends there as after a failed write.
  void add(QByteArray line);
  // Called once, on the writer's thread, with the reason when the journal ends in a failure.
  void setFailureHandler(std::function<void(const std::string& reason)> handler);
  // The reason the journal ended in; empty while it is written. Any thread.
  std::string failure() const;
  // Waits until every queued line has been written or dropped (tests).
  void flush();

  // Lines that may wait for the disk.
  static constexpr std::size_t kQueueLines = 4096;

 private:
  void run();
  void fail(const std::string& reason);

  int fd_;
  mutable std::mutex mutex_;
  std::condition_variable wake_;
  std::condition_variable drained_;
  std::deque<QByteArray> lines_;
  bool writing_ = false;
  bool ending_ = false;
  std::string failure_;
  std::function<void(const std::string&)> onFailure_;
  std::thread writer_;
};

// The journal's line for a request and its result: the wall-clock time of its start (to the
// microsecond, with the offset from UTC), the channel, its id, the action and its times, every
// command with its time from the start, and the outcome with its failure kind.
QByteArray journalLine(const Request& request, const Result& result,
                       std::chrono::system_clock::time_point started);

// "click", "socket", "broker", "reconnection", "web", "command-line".
QString originName(Origin origin);

}  // namespace service
