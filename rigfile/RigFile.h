#pragma once

#include <stdexcept>
#include <string>
#include <string_view>

#include "rig/RigDescription.h"

// Rig files: the rig described once, in TOML.
//
//   [timings]              # optional; milliseconds
//   focus_ms = 200         # focus lines closed this long before the shutters
//   pulse_ms = 500         # shutter lines held (bulb: up to 3600000)
//   pause_ms = 500         # between the sequence's steps
//
//   [boards.top]           # a board, by a name of the file's own
//   board = "text-id:RIG02"
//   relays = 8             # optional: the relays it must have
//
//   [[cameras]]
//   name = "left"
//   shutter = "top:1"      # board:relay, relays counted from 0
//   focus = "top:0"        # optional
//   delay_ms = 12          # optional
//
//   [[flashes]]
//   name = "main"
//   line = "top:7"
//
// Everything is checked as the file is read: an unknown key, a value of the wrong type or out of
// range, a line on a board the file does not have, a line named by two roles, two names for
// one board, two cameras or flashes of one name.
namespace rigfile {

// A rig file that cannot be used: where and why.
class RigFileError : public std::runtime_error {
 public:
  RigFileError(std::string file, int line, std::string field, const std::string& message);

  const std::string& file() const { return file_; }
  int line() const { return line_; }  // 0 when the file as a whole is meant
  const std::string& field() const { return field_; }

 private:
  std::string file_;
  int line_;
  std::string field_;
};

// Reads the rig from the file at `path`; throws RigFileError, whose text is
// "FILE:LINE: FIELD: what is wrong".
rig::RigDescription read(const std::string& path);
// The same from the text of a file; `path` names it in errors.
rig::RigDescription parse(std::string_view text, const std::string& path);

}  // namespace rigfile
