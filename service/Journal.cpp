#include "Journal.h"

#include <fcntl.h>
#include <sys/stat.h>
#ifdef _WIN32
#include <io.h>
#else
#include <poll.h>
#include <pthread.h>
#include <unistd.h>

#include <csignal>
#endif

#include <QJsonDocument>
#include <QJsonObject>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <utility>

namespace service {

namespace {

#ifdef _WIN32
int openForAppending(const char* path) {
  return ::_open(path, _O_WRONLY | _O_APPEND | _O_CREAT | _O_BINARY | _O_NOINHERIT,
                 _S_IREAD | _S_IWRITE);
}
long long writeSome(int fd, const char* data, std::size_t size) {
  return ::_write(fd, data, static_cast<unsigned>(size));
}
// The file's length, -1 when it is no regular file.
long long fileLength(int fd) {
  struct _stat64 status {};
  return ::_fstat64(fd, &status) == 0 && (status.st_mode & _S_IFREG) != 0 ? status.st_size : -1;
}
void cutTo(int fd, long long length) { static_cast<void>(::_chsize_s(fd, length)); }
void closeFile(int fd) { ::_close(fd); }
#else
// Without waiting: a FIFO nobody reads fails at once (ENXIO) instead of holding the start, and
// a pipe whose reader stops reading never holds the writer past the end's deadline.
int openForAppending(const char* path) {
  return ::open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NONBLOCK, 0644);
}
long long writeSome(int fd, const char* data, std::size_t size) { return ::write(fd, data, size); }
long long fileLength(int fd) {
  struct stat status {};
  return ::fstat(fd, &status) == 0 && S_ISREG(status.st_mode) ? status.st_size : -1;
}
void cutTo(int fd, long long length) { static_cast<void>(::ftruncate(fd, length)); }
void closeFile(int fd) { ::close(fd); }
#endif

// How long one wait for a full pipe lasts before the end's deadline is looked at again.
constexpr int kPollMs = 50;

}  // namespace

Done Journal::open(const QString& path, std::unique_ptr<Journal>& journal) {
  journal.reset();
  const QByteArray name = path.toLocal8Bit();
  const int fd = openForAppending(name.constData());
  if (fd < 0) {
    const int why = errno;
    return Done::no(
        why == ENXIO
            ? QStringLiteral("%1 is a FIFO that nobody reads; start its reader first").arg(path)
            : QStringLiteral("%1: %2").arg(path, QString::fromLocal8Bit(std::strerror(why))));
  }
  journal = std::make_unique<Journal>(fd, path);
  return {};
}

Journal::Journal(int fd, QString path)
    : fd_(fd), path_(std::move(path)), regular_(fileLength(fd) >= 0) {
  writer_.start([this] {
#ifndef _WIN32
    // A reader that goes away must not end the program: the write fails with EPIPE instead.
    sigset_t pipeSignal;
    sigemptyset(&pipeSignal);
    sigaddset(&pipeSignal, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipeSignal, nullptr);
#endif
    writer_.serve();
  });
}

Journal::~Journal() {
  {
    const std::lock_guard lock(mutex_);
    ending_ = true;
    endBy_ = std::chrono::steady_clock::now() + kDrainTime;
  }
  writer_.end(JobThread::Queued::Run);
  closeFile(fd_);
}

void Journal::add(QByteArray line) {
  bool overflowed = false;
  {
    const std::lock_guard lock(mutex_);
    if (!failure_.empty()) return;
    overflowed = queued_ >= kQueueLines;
    if (overflowed) {
      // The disk has fallen this far behind: from here on the journal would have a gap.
      failure_ = "more than " + std::to_string(kQueueLines) + " lines waited for the disk";
    } else {
      ++queued_;
    }
  }
  if (overflowed) {
    // Told on the writer's thread, as a failed write is.
    for (const auto& drop : writer_.dropQueued()) drop();
    writer_.post([this] {
      std::function<void(const std::string&)> tellFailure;
      std::string reason;
      {
        const std::lock_guard lock(mutex_);
        tellFailure = onFailure_;
        reason = failure_;
      }
      if (tellFailure) tellFailure(reason);
    });
    return;
  }
  line += '\n';
  writer_.post([this, line = std::move(line)] { writeQueued(line); }, [this] { --queued_; });
}

void Journal::setFailureHandler(std::function<void(const std::string&)> handler) {
  const std::lock_guard lock(mutex_);
  onFailure_ = std::move(handler);
}

void Journal::setNoticeHandler(std::function<void(const std::string&)> handler) {
  const std::lock_guard lock(mutex_);
  onNotice_ = std::move(handler);
}

std::string Journal::failure() const {
  const std::lock_guard lock(mutex_);
  return failure_;
}

void Journal::flush() {
  writer_.call([] {});
}

void Journal::fail(const std::string& reason) {
  std::function<void(const std::string&)> tell;
  {
    const std::lock_guard lock(mutex_);
    failure_ = reason;
    tell = onFailure_;
  }
  for (const auto& drop : writer_.dropQueued()) drop();
  if (tell) tell(reason);
}

void Journal::tell(const std::string& notice) {
  std::function<void(const std::string&)> handler;
  {
    const std::lock_guard lock(mutex_);
    handler = onNotice_;
  }
  if (handler) {
    handler(notice);
  } else {
    std::fprintf(stderr, "quillmar: %s\n", notice.c_str());
  }
}

bool Journal::pastDeadline() {
  const std::lock_guard lock(mutex_);
  return ending_ && std::chrono::steady_clock::now() >= endBy_;
}

void Journal::followRotation() {
#ifndef _WIN32
  if (!regular_ || path_.isEmpty()) return;
  const QByteArray name = path_.toLocal8Bit();
  struct stat open {};
  struct stat atPath {};
  if (::fstat(fd_, &open) != 0) return;
  const bool gone = ::stat(name.constData(), &atPath) != 0;
  if (!gone && atPath.st_dev == open.st_dev && atPath.st_ino == open.st_ino) return;
  const int fresh = openForAppending(name.constData());
  if (fresh < 0) {
    // The old file is still open: the lines go on there, and the move is said once.
    regular_ = false;
    tell("the journal " + name.toStdString() + " was moved away and cannot be made anew (" +
         std::strerror(errno) + "); its lines go on to the moved file");
    return;
  }
  closeFile(fd_);
  fd_ = fresh;
  regular_ = fileLength(fd_) >= 0;
  const std::string what = gone ? "renamed or deleted" : "replaced";
  tell("the journal " + name.toStdString() + " was " + what + "; it is written anew at its path");
  QJsonObject note{
      {QStringLiteral("time"), wallClockText(std::chrono::system_clock::now())},
      {QStringLiteral("journal"), QStringLiteral("reopened")},
      {QStringLiteral("reason"),
       QStringLiteral("the file at this path was %1").arg(QString::fromStdString(what))}};
  static_cast<void>(write(answerText(note) + '\n'));
#endif
}

std::optional<std::string> Journal::write(const QByteArray& line) {
  const char* data = line.constData();
  const auto size = static_cast<std::size_t>(line.size());
  if (regular_) {
    const long long before = fileLength(fd_);
    const long long written = writeSome(fd_, data, size);
    if (written == line.size()) return std::nullopt;
    std::string why = std::strerror(written < 0 ? errno : ENOSPC);
    // Half a line would spoil the next one: what went out of it is taken back.
    if (written > 0 && before >= 0) cutTo(fd_, before);
    return why;
  }
  // A pipe, a FIFO or a device: written as its reader takes it, until the end's deadline.
  std::size_t done = 0;
  while (done < size) {
    const long long written = writeSome(fd_, data + done, size - done);
    if (written > 0) {
      done += static_cast<std::size_t>(written);
      continue;
    }
#ifndef _WIN32
    if (written < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
      if (pastDeadline()) {
        deadlineHit_ = true;
        return "its reader did not take it in time";
      }
      pollfd wait{fd_, POLLOUT, 0};
      ::poll(&wait, 1, kPollMs);
      continue;
    }
#endif
    return std::strerror(written < 0 ? errno : ENOSPC);
  }
  return std::nullopt;
}

void Journal::writeQueued(const QByteArray& line) {
  --queued_;
  {
    const std::lock_guard lock(mutex_);
    if (!failure_.empty() || abandoned_) return;
  }
  followRotation();
  const std::optional<std::string> failed = write(line);
  if (!failed) return;
  const std::string& why = *failed;
  if (deadlineHit_) {
    const std::size_t left = 1 + writer_.dropQueued().size();
    {
      const std::lock_guard lock(mutex_);
      abandoned_ = true;
    }
    tell(std::to_string(left) + " journal line" + (left == 1 ? "" : "s") +
         " could not be written: " + why + " (" + std::to_string(kDrainTime.count()) +
         " s at the end)");
    return;
  }
  fail(why);
}

}  // namespace service
