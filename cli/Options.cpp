#include "Options.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <sstream>
#include <utility>

#include "args/Arguments.h"
#include "rig/Board.h"
#include "rig/Timings.h"

namespace cli {

namespace {

constexpr std::string_view kAutomatic = "AUTOMATIC";

// The port selector holds 16-bit numbers; ports start at 1.
constexpr int kLargestPort = 32767;
constexpr double kLongestIntervalSeconds = 24 * 3600;

double secondsOf(rig::Clock::duration d) { return std::chrono::duration<double>(d).count(); }

constexpr std::string_view kHelp =
    R"(Usage: quillmar-cli [--ports DEV1,DEV2,...] [--port N | --auto | --board NAME | --rig-file FILE]
                    [OPTIONS] COMMAND
Works the two-relay camera rig (relay 0: main flash, relay 1: camera shutter) from scripts,
with the very same actions as the Quillmar panel.

When a panel (or quillmar-cli serve) is running for this user, status, open, flash, shutter
and sequence go through it: the panel's open port is used, nothing is opened or reset, and
the panel shows what happens. Otherwise (or with --direct) the command opens the port itself.

Commands:
  scan          search ports 1 to 15 for the relay module, as the panel's AUTOMATIC
                choice does, and print the number of the port found
  reset         relay 0 off, half a second's pause, relay 1 off
  flash         toggle the main flash: read relay 0 and switch it to the other state
  shutter       pulse the camera shutter: relay 1 on for half a second when it reads
                off; always ends with relay 1 off
  sequence      the two-shot sequence: shutter, flash, shutter, flash, half a second
                apart (see --pulse, --pause, --repeat and --interval)
  read 0|1      ask the module for the relay's state; prints on, off or unknown, then
                the module's whole reply in double quotes, control characters escaped
  ports         print the port mapping, one line per port: its number and its device
                ("-" for none); opens nothing
  status        the running panel's state, one "name: value" line per field (port,
                device, open, busy, link, status, statusTip, relays.flash,
                relays.shutter, flash, shutter; shot, shots, armedAt, broker when
                they apply; with a rig file, board.NAME, camera.NAME and flash.NAME
                per line, and no port or device)
  open N|AUTOMATIC
                open port N, or search for the module, as "Open Com Port" does
  stop          end the series a running panel (or serve) is shooting after its step in
                progress; on a rig file's boards a bulb's shutters are released at once;
                prints what it stopped; what is queued behind it runs as usual
  fire shutter|sequence
                with --mqtt URL and --at or --in: publish the armed action to every
                rig on the broker (quillmar/all/command), so all fire at that time;
                then wait for every rig online to answer (until --timeout after the
                shot's time), print each rig's outcome, and fail unless all fired
  rig check FILE
                read the rig file FILE (its boards, cameras, flashes and timings), say
                what is wrong with it, by line and field, or print the rig it describes
  boards        list the relay boards present, of every kind, one line each: the name
                that finds it (KIND:IDENTITY), its relays, what it can do and its path
                (with --json: a JSON array); with --board NAME only that board (a
                Modbus board is listed only when named so)
  boards --set-id OLD NEW
                give the USB HID board with ID OLD the ID NEW (1 to 5 printable
                characters, no blank or colon); refused when OLD is on two boards or
                NEW is taken
  serve         open the port (--port N or --auto, the board of --board NAME, or the
                boards of --rig-file FILE) as the panel does, reset the rig, and serve the panel's local endpoint,
                without a window, until Ctrl-C,
                SIGTERM or SIGHUP (then the running action is cut short soundly,
                queued requests are answered "not-run", relay 1 is commanded off and
                the exit status is 0)

Options:
  --port N      open port N (1, 2, ...)
  --board NAME  open the relay board NAME instead of a port: text:PATH, text-id:ID,
                ch340:PATH, modbus:PATH@ADDRESS or hid:ID (see boards); after an
                unplug it is found again by that name
  --rig-file FILE
                the rig the rig file FILE describes (see rig check): its boards are
                opened by their names, shutter fires its cameras, flash toggles its
                flashes, sequence takes both; the opening resets every line
  --cameras NAME,NAME,...
                shutter: fire only these cameras of the rig file's rig
  --flash NAME  flash: toggle only this flash of the rig file's rig
  --auto        open the port found by the search of ports 1 to 15 (see scan)
  --ports DEV1,DEV2,...
                port n is the n-th device listed; an empty entry leaves that number
                without a device (",/dev/ttyUSB0": port 1 has none, port 2 is
                /dev/ttyUSB0). Without --ports, port n is the n-th serial device the
                system lists: USB devices (ttyACM*, ttyUSB*) first, then the others,
                each group in name order (on Windows, port n is COMn)
  --wait DURATION
                when the port has no device yet (a module still enumerating at boot), wait
                up to DURATION for it to appear before opening (with --auto: for any serial
                device)
  --pulse DURATION
                shutter, sequence: hold relay 1 on this long, 0.05 to 3600 s (default
                0.5s)
  --pause DURATION
                sequence: the pauses between its steps, 0.05 to 60 s (default 0.5s)
  --repeat K    shutter, sequence: a series of K shots, 1 to 10000 (default 1); through
                a panel or serve the rig runs it, and quillmar-cli stop ends it
  --interval DURATION
                shutter, sequence: from the start of one shot to the start of the next,
                at least the shot's own length (the default: one after the other)
  --journal FILE
                serve: append one JSON line per request that reaches the rig to FILE
  --at TIME     shutter, sequence: arm the shot for TIME on the real-time clock, Unix
                seconds with a fraction or ISO 8601 with its offset
                (2026-12-07T20:15:00.250+01:00); "relay on 1" reaches the module then.
                Through a running panel or serve only
  --in DURATION shutter, sequence: arm the shot for DURATION from now
  --local-clock with --at/--in: fire even when no time service keeps the clock
  --timeout DURATION
                fire: how long after the shot's time to wait for the rigs' results,
                0 to 3600 s (default 10s)
  --name NAME   the endpoint of the panel started with --name NAME (default: quillmar)
  --json        print the JSON answers, one line each, instead of the results (status,
                open, flash, shutter, sequence)
  --direct      open the port here even when a panel is running; status asks no
                panel then and fails as when none runs (exit status 4)
  -q, --quiet   print only results and errors, not the progress lines
  -h, --help    show this text
  --version     print the version

Durations are written with their unit, as in rig files: 200ms, 0.2s, 1.5s, 30s; a bare
number is seconds (0.2 is 200ms).

Opening the port: without a running panel (or with --direct), every command but ports and
status first opens the port exactly as the panel's "Open Com Port" button does, and opening
RESETS THE RIG: "relay off 0", half a second's pause, "relay off 1". So flash always
finds the flash off and switches it on, and read reports the state just after that reset.
With --auto (and scan) each port that opens is asked "id get" until one answers with the
module's name; that port stays open and the rig is reset twice, as by the panel.

Output: progress goes to standard error: what the panel would show (status box,
button captions, replies) and one line per command sent, stamped with the seconds since
the start (through a panel: since the start of its action). Results (the port found, the
relay state, the mapping, the status lines) go to standard output.

Ctrl-C (SIGINT), SIGTERM or SIGHUP stops the command at once. When it comes during the opening,
reset, shutter or sequence, "relay off 1" is sent before the exit, so the shutter is
never left open; a stopped sequence also commands the flash back to the state it found.

Exit status (the scripting guide's table gives each error kind's):
  0    success
  1    an unexpected failure, or an action cut short because the panel or serve ended
  2    port not found: no device for the number, absent, busy, not a serial port, or
       no module answered the search (the reason is printed)
  3    the module did not answer, its reply was not understood, a write failed, or the
       module went away during the opening's reset (port, device and reason printed)
  4    status: no panel is running
  5    serve: another running program holds the socket's name (nothing was sent)
  6    an armed shot fired nothing: too late, too far ahead, in conflict with another
       action, on an unsynchronized clock, or disarmed
  7    an armed shot fired, but reached a board more than 2 ms after its time
  64   the caller's mistake: a usage error, or a request the rig refuses as such
       (bad-request: a camera or flash the rig does not have, a time out of its range)
  78   serve: the web port, the token file or the journal cannot work (nothing was sent);
       rig check: the rig file cannot be used
  130  stopped by Ctrl-C (143 by SIGTERM, 129 by SIGHUP)
)";

struct Name {
  std::string_view text;
  Command command;
};
constexpr std::array kCommands = {
    Name{"scan", Command::Scan},         Name{"reset", Command::Reset},
    Name{"flash", Command::Flash},       Name{"shutter", Command::Shutter},
    Name{"sequence", Command::Sequence}, Name{"read", Command::Read},
    Name{"ports", Command::Ports},       Name{"status", Command::Status},
    Name{"open", Command::Open},         Name{"serve", Command::Serve},
    Name{"stop", Command::Stop},         Name{"fire", Command::Fire},
    Name{"rig", Command::RigCheck},      Name{"boards", Command::Boards},
};

Parsed usageError(std::string message) {
  Parsed parsed;
  parsed.outcome = Parsed::Outcome::UsageError;
  parsed.error = std::move(message);
  return parsed;
}

}  // namespace

std::string_view commandName(Command command) {
  for (const Name& name : kCommands) {
    if (name.command == command) return name.text;
  }
  return "?";
}

std::string_view helpText() { return kHelp; }

Parsed parse(const std::vector<std::string>& arguments) {
  Parsed parsed;
  Options& options = parsed.options;
  std::optional<Command> command;
  std::vector<std::string> operands;
  std::optional<std::string> port;
  bool automatic = false;
  bool timeoutGiven = false;

  args::Reader reader(arguments);
  while (reader.next()) {
    const std::string& arg = reader.name();
    // Every refusal of the reader is a usage error in its words.
    const auto refused = [&reader] { return usageError(reader.error()); };

    if (arg == "-h" || arg == "--help") {
      parsed.outcome = Parsed::Outcome::Help;
      return parsed;
    }
    if (arg == "--version") {
      parsed.outcome = Parsed::Outcome::Version;
      return parsed;
    }
    if (arg == "-q" || arg == "--quiet" || arg == "--auto" || arg == "--local-clock" ||
        arg == "--json" || arg == "--direct" || arg == "--set-id") {
      if (!reader.flag()) return refused();
      (arg == "--auto"          ? automatic
       : arg == "--local-clock" ? options.localClock
       : arg == "--json"        ? options.json
       : arg == "--direct"      ? options.direct
       : arg == "--set-id"      ? options.setId
                                : options.quiet) = true;
    } else if (arg == "--board") {
      const auto v = reader.value();
      if (!v) return refused();
      if (!rig::parseBoardName(*v)) {
        return usageError(
            "--board wants KIND:IDENTITY, the kind one of text, text-id, ch340, "
            "modbus or hid, not '" +
            *v + "'");
      }
      options.board = *v;
    } else if (arg == "--rig-file") {
      const auto v = reader.value();
      if (!v || v->empty()) return usageError(arg + " needs a file");
      options.rig = *v;
    } else if (arg == "--cameras") {
      const auto v = reader.value();
      if (!v) return refused();
      std::istringstream names(*v + ",");
      for (std::string name; std::getline(names, name, ',');) {
        if (name.empty()) return usageError("--cameras wants camera names, a comma between two");
        if (std::find(options.cameras.begin(), options.cameras.end(), name) !=
            options.cameras.end()) {
          return usageError("--cameras names camera '" + name + "' twice");
        }
        options.cameras.push_back(name);
      }
    } else if (arg == "--flash") {
      const auto v = reader.value();
      if (!v || v->empty()) return usageError(arg + " needs a flash's name");
      options.flash = *v;
    } else if (arg == "--at" || arg == "--name" || arg == "--ports") {
      const auto v = reader.value();
      if (!v) return refused();
      if (arg == "--name") {
        options.name = *v;
      } else {
        (arg == "--at" ? options.at : options.ports) = *v;
      }
    } else if (arg == "--in") {
      const auto v = reader.value();
      if (!v) return refused();
      const auto seconds = args::secondsOf(*v);
      if (!seconds || !std::isfinite(*seconds) || *seconds <= 0 || *seconds > 3600) {
        reader.wants("a time", "0 to 3600 s (0.2, 0.2s or 200ms)", *v);
        return refused();
      }
      options.in = *seconds;
    } else if (arg == "--timeout" || arg == "--wait") {
      const bool timeout = arg == "--timeout";
      const auto seconds = reader.seconds(0, timeout ? 3600 : kLongestIntervalSeconds);
      if (!seconds) return refused();
      if (timeout) {
        options.timeout = *seconds;
        timeoutGiven = true;
      } else {
        options.wait = std::chrono::duration_cast<std::chrono::steady_clock::duration>(
            std::chrono::duration<double>(*seconds));
      }
    } else if (arg == "--pulse" || arg == "--pause" || arg == "--interval") {
      const bool pulse = arg == "--pulse";
      const rig::Clock::duration least = pulse              ? rig::kShortestPulse
                                         : arg == "--pause" ? rig::kShortestPause
                                                            : rig::Clock::duration{};
      const rig::Clock::duration most = pulse              ? rig::kLongestPulse
                                        : arg == "--pause" ? rig::kLongestPause
                                                           : rig::kLongestInterval;
      const auto seconds = reader.seconds(secondsOf(least), secondsOf(most));
      if (!seconds) return refused();
      (pulse ? options.pulse : arg == "--pause" ? options.pause : options.interval) = *seconds;
    } else if (arg == "--journal") {
      const auto v = reader.value();
      if (!v || v->empty()) return usageError(arg + " needs a file");
      options.journal = *v;
    } else if (arg == "--port") {
      const auto v = reader.value();
      if (!v) return refused();
      const auto n = args::number<int>(*v);
      if (!n || *n < 1 || *n > kLargestPort) {
        reader.wants("a port number", "1 to " + std::to_string(kLargestPort), *v);
        return refused();
      }
      port = *v;
    } else if (arg == "--repeat") {
      const auto n = reader.whole("a count", 1, rig::kMostShots);
      if (!n) return refused();
      options.repeat = static_cast<int>(*n);
    } else if (arg.size() > 1 && arg[0] == '-') {
      return usageError("unknown option '" + reader.given() + "'");
    } else if (!command) {
      for (const Name& name : kCommands) {
        if (name.text == arg) command = name.command;
      }
      if (!command) return usageError("unknown command '" + arg + "'");
    } else {
      operands.push_back(arg);
    }
  }

  if (!command) return usageError("no command given");
  options.command = *command;

  if (options.command == Command::Read) {
    if (operands.size() != 1 || (operands[0] != "0" && operands[0] != "1")) {
      return usageError("read wants the relay: 0 (main flash) or 1 (camera shutter)");
    }
    options.relay = operands[0] == "1" ? 1 : 0;
  } else if (options.command == Command::Open) {
    const bool isNumber = operands.size() == 1 && args::number<int>(operands[0]).value_or(0) >= 1 &&
                          args::number<int>(operands[0]).value_or(0) <= kLargestPort;
    if (!isNumber && (operands.size() != 1 || operands[0] != kAutomatic)) {
      return usageError("open wants a port number from 1 to " + std::to_string(kLargestPort) +
                        " or AUTOMATIC");
    }
  } else if (options.command == Command::Fire) {
    if (operands.size() != 1 || (operands[0] != "shutter" && operands[0] != "sequence")) {
      return usageError("fire wants the action: shutter or sequence");
    }
    options.fired = operands[0] == "shutter" ? Command::Shutter : Command::Sequence;
    if (!options.at && !options.in) return usageError("fire needs --at TIME or --in DURATION");
  } else if (options.command == Command::RigCheck) {
    if (operands.size() != 2 || operands[0] != "check") return usageError("rig wants: check FILE");
    options.rigFile = operands[1];
  } else if (options.command == Command::Boards && options.setId) {
    if (operands.size() != 2) return usageError("boards --set-id wants the old ID and the new one");
    options.oldId = operands[0];
    options.newId = operands[1];
    if (options.board || options.json) return usageError("--set-id goes with no other option");
  } else if (!operands.empty()) {
    return usageError("unexpected argument '" + operands.front() + "'");
  }
  if (options.setId && options.command != Command::Boards) {
    return usageError("--set-id goes with boards only");
  }

  const Command c = options.command;
  const bool isAction = c == Command::Flash || c == Command::Shutter || c == Command::Sequence;
  if (options.json && !(isAction || c == Command::Status || c == Command::Open ||
                        c == Command::Stop || c == Command::Boards)) {
    return usageError("--json goes with status, open, flash, shutter, sequence, stop and boards");
  }
  if (options.board) {
    if (port || automatic) return usageError("give --board or --port/--auto, not both");
    const bool textModule = options.board->starts_with("text");
    const bool opens = c == Command::Reset || isAction || c == Command::Serve ||
                       (c == Command::Read && textModule) || c == Command::Boards;
    if (!opens) {
      return usageError(c == Command::Read ? std::string("read asks a text module: --board wants "
                                                         "text:PATH or text-id:ID there")
                                           : "--board goes with reset, read, flash, shutter, "
                                             "sequence, serve and boards");
    }
  }
  if (options.rig) {
    if (options.board) return usageError("give --rig-file or --board, not both");
    if (port || automatic) return usageError("the rig file names its boards: drop --port/--auto");
    if (!(c == Command::Reset || isAction || c == Command::Serve)) {
      return usageError("--rig-file goes with reset, flash, shutter, sequence and serve");
    }
  }
  if (!options.cameras.empty() && c != Command::Shutter) {
    return usageError("--cameras goes with shutter only");
  }
  if (!options.flash.empty() && c != Command::Flash) {
    return usageError("--flash goes with flash only");
  }
  if (options.direct && c == Command::Serve) {
    return usageError(std::string(commandName(c)) + " has no --direct");
  }

  const bool shot = c == Command::Shutter || c == Command::Sequence;
  if ((options.pulse || options.repeat || options.interval) && !shot) {
    return usageError("--pulse, --repeat and --interval go with shutter and sequence only");
  }
  if (options.pause && c != Command::Sequence) {
    return usageError("--pause goes with sequence only");
  }
  if (options.journal && c != Command::Serve) return usageError("--journal goes with serve only");
  if (options.interval) {
    rig::Timings timings;
    if (options.pulse)
      timings.pulse = std::chrono::duration_cast<rig::Clock::duration>(
          std::chrono::duration<double>(*options.pulse));
    if (options.pause)
      timings.pause = std::chrono::duration_cast<rig::Clock::duration>(
          std::chrono::duration<double>(*options.pause));
    const double length = secondsOf(rig::shotLength(c == Command::Sequence, timings));
    if (std::round(*options.interval * 1e6) < std::round(length * 1e6)) {
      char least[32];
      std::snprintf(least, sizeof least, "%g", length);
      return usageError(std::string("--interval is from one shot's start to the next: at least ") +
                        least + " s, the shot's own length");
    }
  }
  if (port && automatic) return usageError("give --port N or --auto, not both");
  if (options.at && options.in) return usageError("give --at or --in, not both");
  const bool armed = options.at || options.in;
  if (armed && c != Command::Shutter && c != Command::Sequence && c != Command::Fire) {
    return usageError("--at and --in go with shutter, sequence and fire");
  }
  if (options.localClock && !armed) return usageError("--local-clock goes with --at or --in");
  if (timeoutGiven && c != Command::Fire) return usageError("--timeout goes with fire only");
  if (armed && options.direct) {
    return usageError("--at and --in go through a running panel or serve: drop --direct");
  }
  if (options.wait && options.board) {
    return usageError("--wait waits for a port's device: it does not go with --board");
  }
  if (options.wait && (c == Command::Ports || c == Command::Status || c == Command::Stop ||
                       c == Command::RigCheck || c == Command::Boards)) {
    return usageError(std::string("--wait goes with commands that open a port, not ") +
                      std::string(commandName(c)));
  }
  switch (options.command) {
    case Command::Ports:
      if (port || automatic) return usageError("ports opens no port: drop --port/--auto");
      break;
    case Command::Scan:
      if (port) return usageError("scan searches the ports itself: drop --port");
      options.selector = kAutomatic;
      break;
    case Command::Status:
    case Command::Stop:
      if (port || automatic) {
        return usageError(std::string(commandName(c)) + " opens no port: drop --port/--auto");
      }
      break;
    case Command::Open:
      if (port || automatic) return usageError("open takes the port as its argument");
      options.selector = operands[0];
      break;
    case Command::Fire:
    case Command::RigCheck:
    case Command::Boards:
      if (port || automatic) {
        return usageError(std::string(commandName(c)) + " opens no port: drop --port/--auto");
      }
      break;
    case Command::Flash:
    case Command::Shutter:
    case Command::Sequence:
      // Without a port they go to the running panel; whether there is one is known later.
      if (port || automatic) options.selector = port ? *port : std::string(kAutomatic);
      if (options.direct && options.selector.empty() && !options.board && !options.rig) {
        return usageError(std::string(commandName(c)) +
                          " --direct needs a port: give --port N "
                          "or --auto");
      }
      break;
    default:
      if (options.board || options.rig) break;
      if (!port && !automatic) {
        return usageError(std::string(commandName(options.command)) +
                          " needs a port: give --port N or --auto");
      }
      options.selector = port ? *port : std::string(kAutomatic);
      break;
  }
  return parsed;
}

}  // namespace cli
