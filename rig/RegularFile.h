#pragma once

#include <cstddef>
#include <stdexcept>
#include <string>

namespace rig {

// A file that was not read, in words that follow its path: "is a named pipe, not a file",
// "cannot be read: Permission denied", "is 2097152 bytes, more than the 1048576 ...".
class FileReadError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The whole text of the regular file at `path`, when it holds at most `most` bytes. Never waits
// and never reads without end: a named pipe, a device, a socket or a directory is refused by what
// it is before anything is read, and so is a file that is, or grows, larger than `most`.
// Throws FileReadError.
std::string readRegularFile(const std::string& path, std::size_t most);

#ifndef _WIN32
// Throws FileReadError by what the file is ("is a named pipe, not a file") unless `mode`, a
// stat's st_mode, is a regular file's.
void mustBeRegular(unsigned int mode);
#endif

}  // namespace rig
