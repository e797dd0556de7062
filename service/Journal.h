#pragma once

#include <QByteArray>
#include <QString>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "Done.h"
#include "JobThread.h"
#include "Requests.h"

namespace service {

// An append-only record of every request that reached the rig, one JSON line each, written by a
// thread of its own (a JobThread named "journal", a job a line) so that a slow or full disk, or a
// pipe nobody reads, never delays a command. Each line goes out in one write on a descriptor opened
// for appending: it is in the file whole or not at all, also when the program is killed. The first
// failure to write ends the journal; it is told once, and the rig goes on.
//
// The file is opened without waiting: a FIFO nobody reads is refused at the opening. A regular
// file that is renamed or deleted while it is written (log rotation) is noticed before the next
// line and made anew at its path; that is said once on stderr and in the new file's first line.
class Journal {
 public:
  // Opens (or creates) `path` for appending, into `journal`; not done, and `journal` left empty,
  // when it cannot (a folder, a FIFO without a reader, no permission, ...).
  static Done open(const QString& path, std::unique_ptr<Journal>& journal);
  // The same, returning the journal; nothing, with the reason written into `error`, when it
  // cannot.
  static std::unique_ptr<Journal> open(const QString& path, QString& error) {
    std::unique_ptr<Journal> journal;
    if (const Done opened = open(path, journal); !opened) error = opened.reason();
    return journal;
  }
  // Takes over a descriptor opened for appending; `path`, when given, is where it was opened,
  // followed across rotation.
  explicit Journal(int fd, QString path = {});
  Journal(const Journal&) = delete;
  Journal& operator=(const Journal&) = delete;
  // Writes what is queued for at most kDrainTime, then closes the file; the lines that could not
  // be written in that time are counted and said once.
  ~Journal();

  // Queues one line (without its line end); never waits for the disk. A line that finds the
  // queue full is dropped, and the journal ends there as after a failed write.
  void add(QByteArray line);
  // Called once, on the writer's thread, with the reason when the journal ends in a failure.
  void setFailureHandler(std::function<void(const std::string& reason)> handler);
  // Called on the writer's thread with what it has to say besides a failure (the file made anew,
  // lines left unwritten at the end); by default, a line on stderr.
  void setNoticeHandler(std::function<void(const std::string& notice)> handler);
  // The reason the journal ended in; empty while it is written. Any thread.
  std::string failure() const;
  // Waits until every queued line has been written or dropped (tests).
  void flush();

  // Lines that may wait for the disk.
  static constexpr std::size_t kQueueLines = 4096;
  // How long the lines still queued at the end get to reach a slow reader.
  static constexpr std::chrono::seconds kDrainTime{2};

 private:
  // The writer's job for one line.
  void writeQueued(const QByteArray& line);
  void fail(const std::string& reason);
  void tell(const std::string& notice);
  // Writes one line whole; why it could not, or none when it did.
  std::optional<std::string> write(const QByteArray& line);
  // A regular file whose path now leads elsewhere (or nowhere) is opened anew at its path.
  void followRotation();
  bool pastDeadline();

  int fd_;
  const QString path_;
  bool regular_ = false;  // a regular file: half a written line can be taken back
  bool deadlineHit_ = false;
  mutable std::mutex mutex_;
  std::atomic<std::size_t> queued_{0};  // lines posted to the writer and not yet taken
  bool ending_ = false;
  bool abandoned_ = false;  // the end's deadline passed: the lines still queued are not written
  std::chrono::steady_clock::time_point endBy_;
  std::string failure_;
  std::function<void(const std::string&)> onFailure_;
  std::function<void(const std::string&)> onNotice_;
  JobThread writer_{QStringLiteral("journal"), JobThread::Events::None};
};

}  // namespace service
