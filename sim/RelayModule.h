#pragma once

#include <array>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

// A serial relay module played on a pseudo-terminal, for tests, benchmarks and the demo: the
// two-relay module, or a wider one of its family (up to 32 relays).
//
// The module echoes what it receives and answers each line ended by a carriage return with a line
// break, the result ("on"/"off" for "relay read N", the identification for "id get", nothing for
// "relay on N"/"relay off N", "ERROR" for anything else), another line break and a ">" prompt.
// Line feeds are ignored entirely. Relays are numbered by one character: "0" to "9", then "A" to
// "V". A wider module also answers "relay readall" with its relays as a hex mask (bit n relay n,
// four relays a digit, upper case) and switches them all at once on "relay writeall HEX" (up to
// as many hex digits, either case).
namespace sim {

struct Options {
  std::string identification = "KOVRA 78";
  // How many relays, 2 to 32; above two it has "relay readall" and "relay writeall".
  int relays = 2;
  // Writes byte by byte at the pace of a 9600 baud line (8N1: about 1.04 ms a byte), and stamps
  // each received byte at the time it would have arrived on such a line.
  bool paced = false;
  // Time between the carriage return and the answer (the echo is not held back).
  std::chrono::milliseconds replyDelay{0};
  // Says nothing at all, not even the echo; commands are still logged and carried out, like a
  // module whose transmit line is broken.
  bool silent = false;
  bool echo = true;
  // Bytes of noise put on the line before each answer, after the echo: a line picking up
  // interference.
  std::size_t noise = 0;
  // Each answer's result is a garbage word (kGarbage) in place of the state, name or nothing.
  bool garbage = false;
  // Each command is answered with this many bytes of noise and nothing else (no line end, no
  // prompt): a module gone haywire.
  std::size_t flood = 0;
};

// The result a garbage answer carries: neither a state word nor the module's name.
inline constexpr std::string_view kGarbage = "#%$@!?";

struct Command {
  // When the carriage return that ended the command arrived.
  std::chrono::steady_clock::time_point at;
  // The line without the carriage return.
  std::string text;
};

class RelayModule {
 public:
  // Today's module, and the most relays a wider one has.
  static constexpr int kRelayCount = 2;
  static constexpr int kMostRelays = 32;
  // Longest line kept; a longer line is answered with the error word.
  static constexpr std::size_t kMaxLine = 256;
  // Module output (echo and answers) waiting for a client that does not read is capped here;
  // what does not fit is dropped, as a real module's transmit buffer would overflow.
  static constexpr std::size_t kMaxPending = std::size_t{64} * 1024;
  static constexpr std::chrono::nanoseconds kByteTime{1'041'667};

  // Opens the pseudo-terminal and starts the worker. Throws std::system_error on failure.
  explicit RelayModule(Options options = {});
  ~RelayModule();
  RelayModule(const RelayModule&) = delete;
  RelayModule& operator=(const RelayModule&) = delete;

  // The terminal a client opens, e.g. /dev/pts/5.
  const std::string& devicePath() const { return devicePath_; }
  std::chrono::steady_clock::time_point started() const { return started_; }

  std::vector<Command> log() const;
  // The commands from index `first` on, for readers that follow a long log.
  std::vector<Command> logSince(std::size_t first) const;
  // Every byte received, line feeds and carriage returns included.
  std::string received() const;
  // Bytes of echo and answers dropped because the client was not reading.
  std::size_t dropped() const;

  // n is 0 up to the relay count; other numbers throw std::out_of_range.
  bool relay(int n) const;
  void setRelay(int n, bool on);

  // Waits until at least `count` commands are in the log; false on timeout.
  bool waitForCommands(std::size_t count, std::chrono::milliseconds timeout) const;

  // Puts raw bytes on the line after whatever is already queued (stale leftovers, noise). Paced
  // like any output; sent even in silent mode.
  void send(std::string_view bytes);
  // Puts that many bytes of noise on the line, as fast as the client takes them. The noise holds
  // no carriage return, line feed or ">" so it never looks like the end of a reply.
  void flood(std::size_t bytes);
  // Closes the terminal: the device goes away and the client sees a hang-up. Returns once done.
  void vanish();

  Options options() const;
  // Going silent drops whatever the module still had to say.
  void setOptions(Options options);

 private:
  struct Chunk {
    std::string data;
    std::size_t noise = 0;  // bytes of noise to write after `data`
    std::chrono::steady_clock::time_point notBefore;
    bool injected = false;  // from send()/flood(), not the module's own talk
  };

  void run();
  void wake();
  void handleInput(const char* bytes, std::size_t count,
                   std::chrono::steady_clock::time_point readAt);
  std::string execute(const std::string& line);
  // "relay readall" and "relay writeall HEX" of a wider module.
  std::string executeAll(std::string_view line);
  void queueOutput(std::string bytes, std::chrono::steady_clock::time_point notBefore);
  // Writes what is due; returns false when the terminal would block.
  bool pump(std::chrono::steady_clock::time_point now);
  std::chrono::steady_clock::time_point nextDue() const;
  void closeTerminal();

  const std::chrono::steady_clock::time_point started_;
  std::string devicePath_;
  int master_ = -1;
  int slave_ = -1;
  int wakeRead_ = -1;
  int wakeWrite_ = -1;

  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  Options options_;
  std::array<bool, kMostRelays> relays_{};
  std::vector<Command> log_;
  std::string received_;
  std::string line_;
  bool lineTooLong_ = false;
  std::deque<Chunk> out_;
  std::chrono::steady_clock::time_point nextByteAt_{};
  // Paced: when the line in is free again, after the last byte received has fully arrived.
  std::chrono::steady_clock::time_point inboundFreeAt_{};
  std::uint32_t noiseState_ = 0x2545f491u;
  std::size_t ownPending_ = 0;  // bytes of echo and answers queued
  std::size_t dropped_ = 0;
  bool stop_ = false;
  bool vanishRequested_ = false;
  bool vanished_ = false;

  std::thread worker_;
};

}  // namespace sim
