#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace cli {

enum class Command {
  Scan,
  Reset,
  Flash,
  Shutter,
  Sequence,
  Read,
  Ports,
  Status,
  Open,
  Serve,
  Stop,
  Fire,
  RigCheck,  // "rig check FILE"
  Boards
};

std::string_view commandName(Command command);

// What the command line asks for.
struct Options {
  Command command = Command::Ports;
  // --ports, when given: the port mapping instead of the system's serial devices.
  std::optional<std::string> ports;
  // What goes into the port selector before the port is opened: a port number, or "AUTOMATIC";
  // empty when no port was given (flash, shutter and sequence then need a running panel).
  std::string selector;
  // The running panel's (or serve's) endpoint name.
  std::string name = "quillmar";
  bool json = false;    // print the JSON answers instead of the results
  bool direct = false;  // open the port here even when a panel is running
  int relay = 0;        // read
  // shutter and sequence: relay 1's pulse and the sequence's pauses (the half second when not
  // given), the shots of a series and their interval from start to start, in seconds.
  std::optional<double> pulse;
  std::optional<double> pause;
  std::optional<int> repeat;
  std::optional<double> interval;
  // serve: the journal's file.
  std::optional<std::string> journal;
  // --wait: how long to wait for the port's device to appear before opening.
  std::optional<std::chrono::steady_clock::duration> wait;
  bool quiet = false;
  // shutter and sequence through a panel: the shot armed for --at TIME (Unix seconds or ISO
  // 8601 with its offset, passed on as given) or --in SECONDS from now.
  std::optional<std::string> at;
  std::optional<double> in;
  bool localClock = false;  // --local-clock: fire on a clock no time service keeps
  // fire: the action every rig on the broker is armed for (Shutter or Sequence), and how long
  // after the shot's time its results are waited for, in seconds.
  Command fired = Command::Shutter;
  double timeout = 10;
  // rig check: the rig file.
  std::string rigFile;
  // --board: the board opened by its name instead of a port ("ch340:/dev/serial/by-id/...");
  // with boards, the one board looked for.
  std::optional<std::string> board;
  // --rig-file: the rig described by the file, its boards opened by their names.
  std::optional<std::string> rig;
  // --cameras: the cameras a shutter fires (all of the rig's without it).
  std::vector<std::string> cameras;
  // --flash: the one flash a flash toggles (every flash of the rig without it).
  std::string flash;
  // boards --set-id OLD NEW: a USB HID board's new ID.
  bool setId = false;
  std::string oldId;
  std::string newId;
};

struct Parsed {
  enum class Outcome { Run, Help, Version, UsageError };
  Outcome outcome = Outcome::Run;
  Options options;
  std::string error;  // the usage error, in words
};

// Parses the arguments after the program name. Options may stand before or after the command.
Parsed parse(const std::vector<std::string>& arguments);

// The --help text.
std::string_view helpText();

}  // namespace cli
