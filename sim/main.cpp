// relay-sim: runs the two-relay module (or a wider one, or a CH340 or Modbus RTU relay board) on
// a pseudo-terminal until SIGINT or SIGTERM and prints every command it receives. It can vanish and
// come back (SIGUSR1, or after given times), as a module does when its cable is pulled and plugged
// in again.

#include <signal.h>  // NOLINT(modernize-deprecated-headers): sigaction is POSIX, not <csignal>
#include <sys/stat.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QLoggingCategory>
#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <exception>
#include <fstream>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "args/Arguments.h"
#include "sim/Ch340Module.h"
#include "sim/ModbusModule.h"
#include "sim/RelayModule.h"

namespace {

volatile sig_atomic_t stopRequested = 0;
volatile sig_atomic_t toggleRequested = 0;

void onSignal(int) { stopRequested = 1; }
void onToggle(int) { toggleRequested = 1; }

// How often the main loop looks at the signal flags while it waits.
constexpr auto kLoopPoll = std::chrono::milliseconds(50);

constexpr std::string_view kUsage =
    "Usage: relay-sim [OPTIONS]\n"
    "Plays a serial module with two relays (or more) on a pseudo-terminal.\n"
    "The first line printed names the terminal; then one line per command received:\n"
    "seconds since start, then the command text.\n"
    "\n"
    "  --kind KIND     the board played: \"text\" (default), the module above;\n"
    "                  \"ch340\", a board taking binary frames A0 ch op sum that\n"
    "                  answers nothing; each frame is printed as \"relay N on\" or\n"
    "                  \"relay N off\", or \"rejected ...\" with the reason (a bad checksum,\n"
    "                  no such relay); or \"modbus\", a Modbus RTU board at 9600 baud 8N1\n"
    "                  whose relays are coils 0 to N-1, printing each coil that changes\n"
    "                  as \"coil N on\" or \"coil N off\". Only --relays, --paced, --log\n"
    "                  and --link go with ch340 and modbus, and --address with modbus\n"
    "  --address A     the modbus board's slave address, 1 to 247 (default 1)\n"
    "  --id TEXT       identification answered to \"id get\" (default \"KOVRA 78\")\n"
    "  --relays N      a module with N relays, 2 to 32 (default 2); above two it also\n"
    "                  answers \"relay readall\" and takes \"relay writeall HEX\";\n"
    "                  with --kind ch340: 1, 2, 4 or 8 (default 2)\n"
    "                  with --kind modbus: 1 to 32 (default 8)\n"
    "  --paced         write at the pace of a 9600 baud line (about 1.04 ms a byte);\n"
    "                  ch340 stamps each frame at its last byte's arrival at that pace,\n"
    "                  and the modbus board's line carries its bytes at it both ways\n"
    "  --delay MS      wait MS milliseconds after a carriage return before answering\n"
    "  --silent        never answer, not even the echo (commands are still logged)\n"
    "  --no-echo       do not echo the characters received\n"
    "  --noise BYTES   put BYTES bytes of noise on the line before each answer\n"
    "  --garbage       answer with a garbage word in place of each result\n"
    "  --flood BYTES   answer each command with BYTES bytes of noise and nothing else\n"
    "  --log FILE      also write the command lines to FILE, flushed line by line\n"
    "  --link PATH     create a symbolic link PATH to the terminal (removed at exit);\n"
    "                  an existing symbolic link there is replaced, any other file is not\n"
    "  --vanish-after S   vanish S seconds (decimals allowed) after starting: the terminal\n"
    "                  closes (the client sees a hang-up) and the link is removed\n"
    "  --return-after S   come back S seconds after vanishing, on a new terminal behind the\n"
    "                  same link, with the relays as they were\n"
    "  --repeat        keep vanishing and coming back at those times (a bad cable)\n"
    "  -h, --help      show this text\n"
    "  --version       print the version\n"
    "\n"
    "SIGUSR1 makes a present module vanish and a vanished one come back. Each time it\n"
    "prints \"relay-sim: module gone\" or \"relay-sim: module on DEVICE\".\n"
    "Runs until interrupted (SIGINT) or terminated (SIGTERM).\n";

// Noise per answer is capped at a gigabyte: enough to swamp any client.
constexpr long long kMaxNoiseBytes = 1LL << 30;

enum class Kind { Text, Ch340, Modbus };

struct Settings {
  Kind kind = Kind::Text;
  // Options that only the text module takes, for the message when one is given with another.
  std::string textOnlyOption;
  bool relaysGiven = false;
  std::string addressGiven;  // the option's text, for the message when the kind is not modbus
  int address = 1;
  sim::Options options;
  std::string logFile;
  std::string link;
  std::optional<std::chrono::microseconds> vanishAfter;
  std::optional<std::chrono::microseconds> returnAfter;
  bool repeat = false;
};

// Seconds with an optional fraction, from 0 to a day; nothing when the text is not that.
std::optional<std::chrono::microseconds> parseSeconds(const std::string& text) {
  constexpr double kDay = 86400.0;
  const auto seconds = args::number<double>(text);
  if (!seconds || !(*seconds >= 0.0) || *seconds > kDay) return std::nullopt;
  return std::chrono::microseconds(static_cast<long long>(*seconds * 1e6));
}

int usageError(const std::string& message) {
  std::cerr << "relay-sim: " << message << "\nTry 'relay-sim --help'.\n";
  return 2;
}

// Control characters in a command would garble the terminal or the log file: show them escaped.
std::string printable(std::string_view text) {
  std::string out;
  for (const unsigned char c : text) {
    if (c >= 0x20 && c < 0x7f && c != '\\') {
      out += static_cast<char>(c);
    } else {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\x%02x", c);
      out += escaped;
    }
  }
  return out;
}

// Parses the command line; returns an exit code when the program should stop right away.
std::optional<int> parse(int argc, char** argv, Settings& settings) {
  args::Reader reader(std::vector<std::string>(argv + 1, argv + argc));
  while (reader.next()) {
    const std::string& arg = reader.name();
    if (arg == "--help" || arg == "-h") {
      std::cout << kUsage;
      return 0;
    }
    if (arg == "--version") {
      std::cout << "relay-sim " QUILLMAR_VERSION "\n";
      return 0;
    }
    const bool textOnly = arg != "--kind" && arg != "--relays" && arg != "--log" &&
                          arg != "--link" && arg != "--paced" && arg != "--address";
    if (textOnly && settings.textOnlyOption.empty()) settings.textOnlyOption = arg;
    if (arg == "--kind") {
      const auto v = reader.value();
      if (v != "text" && v != "ch340" && v != "modbus") {
        return usageError("--kind wants text, ch340 or modbus, not '" + v.value_or("") + "'");
      }
      settings.kind = v == "ch340" ? Kind::Ch340 : v == "modbus" ? Kind::Modbus : Kind::Text;
    } else if (arg == "--address") {
      const auto address = reader.whole("a slave address", sim::ModbusModule::kFirstAddress,
                                        sim::ModbusModule::kLastAddress);
      if (!address) return usageError(reader.error());
      settings.address = static_cast<int>(*address);
      settings.addressGiven = arg;
    } else if (arg == "--paced" || arg == "--silent" || arg == "--no-echo" || arg == "--garbage" ||
               arg == "--repeat") {
      if (!reader.flag()) return usageError(reader.error());
      if (arg == "--no-echo") {
        settings.options.echo = false;
      } else {
        (arg == "--paced"    ? settings.options.paced
         : arg == "--silent" ? settings.options.silent
         : arg == "--repeat" ? settings.repeat
                             : settings.options.garbage) = true;
      }
    } else if (arg == "--noise" || arg == "--flood") {
      const auto bytes = reader.whole("a byte count", 0, kMaxNoiseBytes);
      if (!bytes) return usageError(reader.error());
      (arg == "--noise" ? settings.options.noise : settings.options.flood) =
          static_cast<std::size_t>(*bytes);
    } else if (arg == "--vanish-after" || arg == "--return-after") {
      const auto v = reader.value();
      const auto seconds = v ? parseSeconds(*v) : std::nullopt;
      if (!seconds) {
        reader.wants("seconds", "0 to 86400", v.value_or(""));
        return usageError(reader.error());
      }
      (arg == "--vanish-after" ? settings.vanishAfter : settings.returnAfter) = seconds;
    } else if (arg == "--relays") {
      const auto relays = reader.whole("a count", 1, sim::RelayModule::kMostRelays);
      if (!relays) return usageError(reader.error());
      settings.options.relays = static_cast<int>(*relays);
      settings.relaysGiven = true;
    } else if (arg == "--id" || arg == "--log" || arg == "--link") {
      const auto v = reader.value();
      if (!v) return usageError(reader.error());
      (arg == "--id"    ? settings.options.identification
       : arg == "--log" ? settings.logFile
                        : settings.link) = *v;
    } else if (arg == "--delay") {
      const auto ms = reader.whole("milliseconds", 0, 3'600'000);
      if (!ms) return usageError(reader.error());
      settings.options.replyDelay = std::chrono::milliseconds(*ms);
    } else {
      return usageError("unknown option '" + reader.given() + "'");
    }
  }
  if (settings.kind == Kind::Modbus && !settings.relaysGiven) {
    settings.options.relays = sim::ModbusModule::Options{}.coils;
  }
  const int relays = settings.options.relays;
  const char* kindName = settings.kind == Kind::Ch340 ? "ch340" : "modbus";
  if (settings.kind != Kind::Text && !settings.textOnlyOption.empty()) {
    return usageError(settings.textOnlyOption + " is for the text module, not with --kind " +
                      kindName);
  }
  if (settings.kind != Kind::Modbus && !settings.addressGiven.empty()) {
    return usageError("--address is for the modbus board, not the " +
                      std::string(settings.kind == Kind::Ch340 ? "ch340 board" : "text module"));
  }
  if (settings.kind == Kind::Ch340) {
    if (relays != 1 && relays != 2 && relays != 4 && relays != 8) {
      return usageError("--relays wants 1, 2, 4 or 8 with --kind ch340, not '" +
                        std::to_string(relays) + "'");
    }
  } else if (settings.kind == Kind::Text && relays < sim::RelayModule::kRelayCount) {
    return usageError("--relays wants a count from 2 to 32, not '" + std::to_string(relays) + "'");
  }
  return std::nullopt;
}

// Creates the link; refuses to replace anything but a symbolic link.
bool makeLink(const std::string& link, const std::string& target) {
  struct stat st {};
  if (::lstat(link.c_str(), &st) == 0) {
    if (!S_ISLNK(st.st_mode)) {
      std::cerr << "relay-sim: " << link << " exists and is not a symbolic link\n";
      return false;
    }
    ::unlink(link.c_str());
  }
  if (::symlink(target.c_str(), link.c_str()) != 0) {
    std::cerr << "relay-sim: cannot link " << link << ": " << std::strerror(errno) << "\n";
    return false;
  }
  return true;
}

// Removes the link only while it still points at this run's terminal.
void removeLink(const std::string& link, const std::string& target) {
  char buffer[4096];
  const ssize_t len = ::readlink(link.c_str(), buffer, sizeof buffer);
  if (len >= 0 && std::string_view(buffer, static_cast<std::size_t>(len)) == target) {
    ::unlink(link.c_str());
  }
}

// One line of the log: seconds since the program started, then what was received.
void printEntry(std::chrono::steady_clock::time_point started,
                std::chrono::steady_clock::time_point at, std::string_view text,
                std::ofstream& logFile) {
  const double seconds = std::chrono::duration<double>(at - started).count();
  char stamp[32];
  std::snprintf(stamp, sizeof stamp, "%.6f", seconds);
  const std::string line = std::string(stamp) + " " + printable(text);
  std::cout << line << std::endl;
  if (logFile.is_open()) logFile << line << std::endl;
}

// The CH340 board until SIGINT or SIGTERM, printing each frame it takes.
int runCh340(const Settings& settings, std::ofstream& logFile) {
  const auto started = std::chrono::steady_clock::now();
  sim::Ch340Module board(settings.options.relays, settings.options.paced);
  if (!settings.link.empty() && !makeLink(settings.link, board.devicePath())) return 1;
  std::cout << "relay-sim: board on " << board.devicePath() << std::endl;
  std::size_t printed = 0;
  while (!stopRequested) {
    if (!board.waitForFrames(printed + 1, kLoopPoll)) continue;
    for (const auto& frame : board.logSince(printed)) {
      ++printed;
      printEntry(started, frame.at, frame.text, logFile);
    }
  }
  if (!settings.link.empty()) removeLink(settings.link, board.devicePath());
  return 0;
}

// The Modbus board until SIGINT or SIGTERM, printing each coil that changes. Its server runs on
// a thread of its own; this one only prints.
int runModbus(const Settings& settings, std::ofstream& logFile, char* program) {
  const auto started = std::chrono::steady_clock::now();
  int qtArgc = 1;
  char* qtArgv[] = {program, nullptr};
  const QCoreApplication app(qtArgc, qtArgv);
  // The server warns of every frame that reaches it in pieces, as each paced frame does.
  QLoggingCategory::setFilterRules(QStringLiteral("qt.modbus.warning=false"));
  std::unique_ptr<sim::ModbusModule> board;
  try {
    board = std::make_unique<sim::ModbusModule>(sim::ModbusModule::Options{
        settings.options.relays, settings.address, settings.options.paced});
  } catch (const std::exception& e) {
    std::cerr << "relay-sim: " << e.what() << "\n";
    return 1;
  }
  if (!settings.link.empty() && !makeLink(settings.link, board->devicePath())) return 1;
  std::cout << "relay-sim: board on " << board->devicePath() << std::endl;
  std::size_t printed = 0;
  while (!stopRequested) {
    if (!board->waitForChanges(printed + 1, kLoopPoll)) continue;
    for (const auto& change : board->logSince(printed)) {
      ++printed;
      printEntry(started, change.at, change.text(), logFile);
    }
  }
  if (!settings.link.empty()) removeLink(settings.link, board->devicePath());
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  Settings settings;
  if (const auto code = parse(argc, argv, settings)) return *code;

  struct sigaction action {};
  action.sa_handler = onSignal;
  sigemptyset(&action.sa_mask);
  ::sigaction(SIGINT, &action, nullptr);
  ::sigaction(SIGTERM, &action, nullptr);
  struct sigaction toggle {};
  toggle.sa_handler = onToggle;
  sigemptyset(&toggle.sa_mask);
  ::sigaction(SIGUSR1, &toggle, nullptr);
  // A reader of our output going away must not kill the module mid-test.
  ::signal(SIGPIPE, SIG_IGN);

  std::ofstream logFile;
  if (!settings.logFile.empty()) {
    logFile.open(settings.logFile, std::ios::out | std::ios::trunc);
    if (!logFile) {
      std::cerr << "relay-sim: cannot write " << settings.logFile << "\n";
      return 1;
    }
  }

  if (settings.kind == Kind::Ch340) return runCh340(settings, logFile);
  if (settings.kind == Kind::Modbus) return runModbus(settings, logFile, argv[0]);

  using Clock = std::chrono::steady_clock;
  try {
    const auto started = Clock::now();
    std::unique_ptr<sim::RelayModule> module;
    std::string device;
    std::size_t printed = 0;
    auto printNew = [&] {
      if (!module) return;
      for (const auto& command : module->logSince(printed)) {
        ++printed;
        // Seconds since the program started, also across comings and goings.
        printEntry(started, command.at, command.text, logFile);
      }
    };
    // The module on a new terminal behind the link; the relays carry over from the last one,
    // as they do on a module that only lost its link.
    using Relays = std::array<bool, sim::RelayModule::kMostRelays>;
    const int relayCount = settings.options.relays;
    auto appear = [&](const Relays& relays) {
      module = std::make_unique<sim::RelayModule>(settings.options);
      for (int n = 0; n < relayCount; ++n) module->setRelay(n, relays.at(n));
      device = module->devicePath();
      printed = 0;
      if (!settings.link.empty() && !makeLink(settings.link, device)) return false;
      std::cout << "relay-sim: module on " << device << std::endl;
      return true;
    };
    auto vanish = [&] {
      printNew();
      // The link goes first, so that a client never finds it pointing at a closed terminal.
      if (!settings.link.empty()) removeLink(settings.link, device);
      module->vanish();
      Relays relays{};
      for (int n = 0; n < relayCount; ++n) relays.at(n) = module->relay(n);
      module.reset();
      std::cout << "relay-sim: module gone" << std::endl;
      return relays;
    };

    if (!appear({})) return 1;
    Relays relays{};
    std::optional<Clock::time_point> nextChange;
    if (settings.vanishAfter) nextChange = started + *settings.vanishAfter;

    while (!stopRequested) {
      const auto now = Clock::now();
      const bool due = nextChange && now >= *nextChange;
      if (toggleRequested || due) {
        toggleRequested = 0;
        if (module) {
          relays = vanish();
          nextChange =
              settings.returnAfter ? std::optional(now + *settings.returnAfter) : std::nullopt;
        } else {
          if (!appear(relays)) return 1;
          const bool timed = settings.vanishAfter && settings.repeat;
          nextChange = timed ? std::optional(now + *settings.vanishAfter) : std::nullopt;
        }
        continue;
      }
      auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(kLoopPoll);
      if (nextChange) {
        wait = std::clamp(std::chrono::ceil<std::chrono::milliseconds>(*nextChange - now),
                          std::chrono::milliseconds(0), wait);
      }
      if (module) {
        if (module->waitForCommands(printed + 1, wait)) printNew();
      } else {
        std::this_thread::sleep_for(wait);
      }
    }
    printNew();
    if (module && !settings.link.empty()) removeLink(settings.link, device);
  } catch (const std::exception& e) {
    std::cerr << "relay-sim: " << e.what() << "\n";
    return 1;
  }
  return 0;
}
