#pragma once

#include <stdexcept>
#include <string>
#include <string_view>

#include "rig/RigDescription.h"

// Rig files: the rig described once, in TOML.
//
//   [timings]              # optional; times with their unit, ms or s ("0.2s", "1500ms"), or
//   focus = "200ms"        # whole milliseconds under the key with _ms (focus_ms = 200)
//   pulse = "0.5s"         # shutter lines held (bulb: up to "3600s")
//   pause = "0.5s"         # between the sequence's steps
//
//   [boards.top]           # a board, by a name of the file's own
//   board = "text-id:RIG02"
//   relays = 8             # optional: the relays it must have
//
//   [[cameras]]
//   name = "left"
//   shutter = "top:1"      # board:relay, relays counted from 0
//   focus = "top:0"        # optional
//   delay = "12ms"         # optional
//
//   [[flashes]]
//   name = "main"
//   line = "top:7"
//
// Everything is checked as the file is read: an unknown key, a value of the wrong type or out of
// range, a time given twice, a board no board can be (a Modbus address past 247, a HID ID of six
// characters) or with a relay count its kind cannot have, a line on a board the file does not
// have or past its relays, a line named by two roles, one device named as two boards, two
// cameras or flashes of one name, a name no channel can pass (a comma, control characters).
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

// Reads the rig from the file at `path`, a regular file of at most 1 MiB (anything else is
// refused without waiting on it); throws RigFileError, whose text is
// "FILE:LINE: FIELD: what is wrong".
rig::RigDescription read(const std::string& path);
// The same from the text of a file; `path` names it in errors.
rig::RigDescription parse(std::string_view text, const std::string& path);

}  // namespace rigfile
