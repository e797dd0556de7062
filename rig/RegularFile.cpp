#include "RegularFile.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <string>
#include <system_error>

#ifdef _WIN32
#include <filesystem>
#include <fstream>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace rig {

namespace {

[[noreturn]] void tooLarge(std::uintmax_t size, std::size_t most) {
  throw FileReadError("is " + std::to_string(size) + " bytes, more than the " +
                      std::to_string(most) + " such a file may have");
}

// A file that said it was small enough and held more when read.
[[noreturn]] void grew(std::size_t most) {
  throw FileReadError("holds more than the " + std::to_string(most) +
                      " bytes such a file may have");
}

[[noreturn]] void notAFile(const char* what) {
  throw FileReadError(what != nullptr ? std::string("is ") + what + ", not a file"
                                      : std::string("is not a regular file"));
}

#ifndef _WIN32
[[noreturn]] void unreadable(int error) {
  throw FileReadError("cannot be read: " + std::generic_category().message(error));
}

class Descriptor {
 public:
  explicit Descriptor(int fd) : fd_(fd) {}
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  ~Descriptor() { ::close(fd_); }
  int get() const { return fd_; }

 private:
  int fd_;
};
#endif

}  // namespace

#ifndef _WIN32
void mustBeRegular(unsigned int mode) {
  if (S_ISREG(mode)) return;
  notAFile(S_ISDIR(mode)    ? "a directory"
           : S_ISFIFO(mode) ? "a named pipe"
           : S_ISCHR(mode)  ? "a character device"
           : S_ISBLK(mode)  ? "a block device"
           : S_ISSOCK(mode) ? "a socket"
                            : nullptr);
}
#endif

std::string readRegularFile(const std::string& path, std::size_t most) {
#ifdef _WIN32
  std::error_code error;
  const auto status = std::filesystem::status(path, error);
  if (error) throw FileReadError("cannot be read: " + error.message());
  if (!std::filesystem::is_regular_file(status)) {
    notAFile(std::filesystem::is_directory(status) ? "a directory" : nullptr);
  }
  const std::uintmax_t size = std::filesystem::file_size(path, error);
  if (!error && size > most) tooLarge(size, most);
  std::ifstream in(path, std::ios::binary);
  if (!in) throw FileReadError("cannot be read");
  std::string text(most + 1, '\0');
  in.read(text.data(), static_cast<std::streamsize>(text.size()));
  if (in.bad()) throw FileReadError("cannot be read");
  const auto filled = static_cast<std::size_t>(in.gcount());
  if (filled > most) grew(most);
  text.resize(filled);
  return text;
#else
  // Looked at before it is opened, so that nothing but a file is ever opened: opening a serial
  // device raises its control lines, and opening a named pipe tells its writer it has a reader.
  struct stat named {};
  if (::stat(path.c_str(), &named) != 0) unreadable(errno);
  mustBeRegular(named.st_mode);
  // Without waiting, and judged again by what was opened: the path may lead elsewhere by now.
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) unreadable(errno);
  const Descriptor file(fd);
  struct stat opened {};
  if (::fstat(file.get(), &opened) != 0) unreadable(errno);
  mustBeRegular(opened.st_mode);
  if (static_cast<std::uintmax_t>(opened.st_size) > most) {
    tooLarge(static_cast<std::uintmax_t>(opened.st_size), most);
  }
  // Read to its end, not to the size it had: a file may grow, and some (/proc) say 0. One byte
  // past `most` tells that it holds more.
  std::string text(static_cast<std::size_t>(opened.st_size) + 1, '\0');
  std::size_t filled = 0;
  for (;;) {
    if (filled == text.size()) {
      if (filled > most) grew(most);
      text.resize(std::min(most + 1, filled * 2));
    }
    const ssize_t n = ::read(file.get(), text.data() + filled, text.size() - filled);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) unreadable(errno);
    if (n == 0) break;
    filled += static_cast<std::size_t>(n);
  }
  text.resize(filled);
  return text;
#endif
}

}  // namespace rig
