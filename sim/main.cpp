// relay-sim: runs the two-relay module on a pseudo-terminal until SIGINT or SIGTERM and prints
// every command it receives.

#include <signal.h>  // NOLINT(modernize-deprecated-headers): sigaction is POSIX, not <csignal>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <exception>
#include <fstream>
#include <iostream>
#include <optional>
#include <string>
#include <string_view>

#include "sim/RelayModule.h"

namespace {

volatile sig_atomic_t stopRequested = 0;

void onSignal(int) { stopRequested = 1; }

constexpr std::string_view kUsage =
    "Usage: relay-sim [OPTIONS]\n"
    "Plays a serial module with two relays on a pseudo-terminal.\n"
    "The first line printed names the terminal; then one line per command received:\n"
    "seconds since start, then the command text.\n"
    "\n"
    "  --id TEXT       identification answered to \"id get\" (default \"KOVRA 78\")\n"
    "  --paced         write at the pace of a 9600 baud line (about 1.04 ms a byte)\n"
    "  --delay MS      wait MS milliseconds after a carriage return before answering\n"
    "  --silent        never answer, not even the echo (commands are still logged)\n"
    "  --no-echo       do not echo the characters received\n"
    "  --noise BYTES   put BYTES bytes of noise on the line before each answer\n"
    "  --garbage       answer with a garbage word in place of each result\n"
    "  --flood BYTES   answer each command with BYTES bytes of noise and nothing else\n"
    "  --log FILE      also write the command lines to FILE, flushed line by line\n"
    "  --link PATH     create a symbolic link PATH to the terminal (removed at exit);\n"
    "                  an existing symbolic link there is replaced, any other file is not\n"
    "  --help          show this text\n"
    "  --version       print the version\n"
    "\n"
    "Runs until interrupted (SIGINT) or terminated (SIGTERM).\n";

// Noise per answer is capped at a gigabyte: enough to swamp any client.
constexpr std::size_t kMaxNoiseBytes = std::size_t{1} << 30;

struct Settings {
  sim::Options options;
  std::string logFile;
  std::string link;
};

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
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    auto value = [&]() -> std::optional<std::string> {
      if (i + 1 >= argc) return std::nullopt;
      return std::string(argv[++i]);
    };
    if (arg == "--help" || arg == "-h") {
      std::cout << kUsage;
      return 0;
    }
    if (arg == "--version") {
      std::cout << "relay-sim " QUILLMAR_VERSION "\n";
      return 0;
    }
    if (arg == "--paced") {
      settings.options.paced = true;
    } else if (arg == "--silent") {
      settings.options.silent = true;
    } else if (arg == "--no-echo") {
      settings.options.echo = false;
    } else if (arg == "--garbage") {
      settings.options.garbage = true;
    } else if (arg == "--noise" || arg == "--flood") {
      const auto v = value();
      if (!v) return usageError(std::string(arg) + " needs a value");
      std::size_t bytes = 0;
      const auto [end, ec] = std::from_chars(v->data(), v->data() + v->size(), bytes);
      if (ec != std::errc() || end != v->data() + v->size() || bytes > kMaxNoiseBytes) {
        return usageError(std::string(arg) + " wants a byte count from 0 to " +
                          std::to_string(kMaxNoiseBytes) + ", not '" + *v + "'");
      }
      (arg == "--noise" ? settings.options.noise : settings.options.flood) = bytes;
    } else if (arg == "--id" || arg == "--log" || arg == "--link" || arg == "--delay") {
      const auto v = value();
      if (!v) return usageError(std::string(arg) + " needs a value");
      if (arg == "--id") {
        settings.options.identification = *v;
      } else if (arg == "--log") {
        settings.logFile = *v;
      } else if (arg == "--link") {
        settings.link = *v;
      } else {
        long ms = -1;
        const auto [end, ec] = std::from_chars(v->data(), v->data() + v->size(), ms);
        if (ec != std::errc() || end != v->data() + v->size() || ms < 0 || ms > 3'600'000) {
          return usageError("--delay wants milliseconds from 0 to 3600000, not '" + *v + "'");
        }
        settings.options.replyDelay = std::chrono::milliseconds(ms);
      }
    } else {
      return usageError("unknown option '" + std::string(arg) + "'");
    }
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

}  // namespace

int main(int argc, char** argv) {
  Settings settings;
  if (const auto code = parse(argc, argv, settings)) return *code;

  struct sigaction action {};
  action.sa_handler = onSignal;
  sigemptyset(&action.sa_mask);
  ::sigaction(SIGINT, &action, nullptr);
  ::sigaction(SIGTERM, &action, nullptr);
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

  try {
    sim::RelayModule module(settings.options);
    const std::string& device = module.devicePath();
    if (!settings.link.empty() && !makeLink(settings.link, device)) return 1;

    std::cout << "relay-sim: module on " << device << std::endl;

    std::size_t printed = 0;
    auto printNew = [&] {
      for (const auto& command : module.logSince(printed)) {
        ++printed;
        const double seconds = std::chrono::duration<double>(command.at - module.started()).count();
        char stamp[32];
        std::snprintf(stamp, sizeof stamp, "%.6f", seconds);
        const std::string line = std::string(stamp) + " " + printable(command.text);
        std::cout << line << std::endl;
        if (logFile.is_open()) logFile << line << std::endl;
      }
    };
    while (!stopRequested) {
      if (module.waitForCommands(printed + 1, std::chrono::milliseconds(50))) printNew();
    }
    printNew();
    if (!settings.link.empty()) removeLink(settings.link, device);
  } catch (const std::exception& e) {
    std::cerr << "relay-sim: " << e.what() << "\n";
    return 1;
  }
  return 0;
}
