#include "sim/RelayModule.h"

#include "sim/Terminal.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <stdexcept>
#include <system_error>

namespace sim {

namespace {

using Clock = std::chrono::steady_clock;

// Noise never contains a line end, a prompt or letters that could spell a state word or the
// module's name, so a client can only be confused by its amount, not by its content.
constexpr std::string_view kNoiseAlphabet = "0123456789ABCDEF.:-#*+";

// The relay number at the end of `line` after `prefix`: one character, "0" to "9" then "A" to
// "V", below `relays`.
std::optional<int> relayArgument(std::string_view line, std::string_view prefix, int relays) {
  constexpr int kDecimal = 10;
  if (!line.starts_with(prefix)) return std::nullopt;
  const std::string_view rest = line.substr(prefix.size());
  if (rest.size() != 1) return std::nullopt;
  int n = -1;
  if (rest[0] >= '0' && rest[0] <= '9') n = rest[0] - '0';
  if (rest[0] >= 'A' && rest[0] <= 'Z') n = rest[0] - 'A' + kDecimal;
  if (n < 0 || n >= relays) return std::nullopt;
  return n;
}

// The hex digits of a wider module's mask: four relays a digit.
int maskDigits(int relays) { return (relays + 3) / 4; }

timespec toTimespec(Clock::duration d) {
  if (d < Clock::duration::zero()) d = Clock::duration::zero();
  const auto secs = std::chrono::duration_cast<std::chrono::seconds>(d);
  const auto nanos = std::chrono::duration_cast<std::chrono::nanoseconds>(d - secs);
  return timespec{static_cast<time_t>(secs.count()), static_cast<long>(nanos.count())};
}

void checkRelayCount(int relays) {
  if (relays < RelayModule::kRelayCount || relays > RelayModule::kMostRelays) {
    throw std::invalid_argument("a module has 2 to 32 relays, not " + std::to_string(relays));
  }
}

void checkRelay(int n, int relays) {
  if (n < 0 || n >= relays) throw std::out_of_range("relay number " + std::to_string(n));
}

}  // namespace

RelayModule::RelayModule(Options options) : started_(Clock::now()), options_(std::move(options)) {
  checkRelayCount(options_.relays);
  Terminal terminal = openTerminal();
  master_ = terminal.master;
  slave_ = terminal.slave;
  devicePath_ = std::move(terminal.path);
  auto fail = [this](const char* what) {
    const int err = errno;
    closeFd(slave_);
    closeFd(master_);
    closeFd(wakeRead_);
    closeFd(wakeWrite_);
    throw std::system_error(err, std::generic_category(), what);
  };

  int pipeFds[2];
  if (::pipe(pipeFds) != 0) fail("pipe");
  wakeRead_ = pipeFds[0];
  wakeWrite_ = pipeFds[1];
  if (!addFlags(wakeRead_, FD_CLOEXEC, O_NONBLOCK) || !addFlags(wakeWrite_, FD_CLOEXEC, O_NONBLOCK))
    fail("fcntl on the wake pipe");

  worker_ = std::thread(&RelayModule::run, this);
}

RelayModule::~RelayModule() {
  {
    std::lock_guard lock(mutex_);
    stop_ = true;
  }
  wake();
  worker_.join();
  closeTerminal();
  closeFd(wakeRead_);
  closeFd(wakeWrite_);
}

std::vector<Command> RelayModule::log() const {
  std::lock_guard lock(mutex_);
  return log_;
}

std::vector<Command> RelayModule::logSince(std::size_t first) const {
  std::lock_guard lock(mutex_);
  if (first >= log_.size()) return {};
  return {log_.begin() + static_cast<std::ptrdiff_t>(first), log_.end()};
}

std::string RelayModule::received() const {
  std::lock_guard lock(mutex_);
  return received_;
}

std::size_t RelayModule::dropped() const {
  std::lock_guard lock(mutex_);
  return dropped_;
}

bool RelayModule::relay(int n) const {
  std::lock_guard lock(mutex_);
  checkRelay(n, options_.relays);
  return relays_[static_cast<std::size_t>(n)];
}

void RelayModule::setRelay(int n, bool on) {
  std::lock_guard lock(mutex_);
  checkRelay(n, options_.relays);
  relays_[static_cast<std::size_t>(n)] = on;
}

bool RelayModule::waitForCommands(std::size_t count, std::chrono::milliseconds timeout) const {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, timeout, [&] { return log_.size() >= count; });
}

void RelayModule::send(std::string_view bytes) {
  if (bytes.empty()) return;
  {
    std::lock_guard lock(mutex_);
    out_.push_back(Chunk{std::string(bytes), 0, Clock::now(), true});
  }
  wake();
}

void RelayModule::flood(std::size_t bytes) {
  if (bytes == 0) return;
  {
    std::lock_guard lock(mutex_);
    out_.push_back(Chunk{{}, bytes, Clock::now(), true});
  }
  wake();
}

void RelayModule::vanish() {
  {
    std::lock_guard lock(mutex_);
    if (vanished_) return;
    vanishRequested_ = true;
  }
  wake();
  std::unique_lock lock(mutex_);
  changed_.wait(lock, [&] { return vanished_; });
}

Options RelayModule::options() const {
  std::lock_guard lock(mutex_);
  return options_;
}

void RelayModule::setOptions(Options options) {
  checkRelayCount(options.relays);
  {
    std::lock_guard lock(mutex_);
    options_ = std::move(options);
    if (options_.silent) {
      std::erase_if(out_, [](const Chunk& c) { return !c.injected; });
      ownPending_ = 0;
    }
  }
  wake();
}

void RelayModule::wake() {
  const char byte = 1;
  // A full pipe already holds a wake-up; nothing is lost when this write fails.
  [[maybe_unused]] const auto written = ::write(wakeWrite_, &byte, 1);
}

void RelayModule::closeTerminal() {
  closeFd(slave_);
  closeFd(master_);
}

void RelayModule::run() {
  std::unique_lock lock(mutex_);
  // After a hang-up or read error the master is left alone for a moment instead of being polled
  // in a tight loop.
  Clock::time_point quietUntil{};
  bool blocked = false;  // the last write found the terminal full

  while (!stop_) {
    if (vanishRequested_ && !vanished_) {
      closeTerminal();
      out_.clear();
      ownPending_ = 0;
      vanished_ = true;
      changed_.notify_all();
    }

    Clock::time_point now = Clock::now();
    if (master_ >= 0 && !blocked) blocked = !pump(now);

    pollfd fds[2] = {{wakeRead_, POLLIN, 0}, {-1, 0, 0}};
    const bool listening = master_ >= 0 && now >= quietUntil;
    if (listening) {
      fds[1].fd = master_;
      fds[1].events = static_cast<short>(POLLIN | (blocked ? POLLOUT : 0));
    }
    std::optional<Clock::time_point> deadline;
    if (master_ >= 0 && !blocked && !out_.empty()) deadline = nextDue();
    if (master_ >= 0 && !listening) deadline = std::min(deadline.value_or(quietUntil), quietUntil);

    timespec timeout{};
    if (deadline) timeout = toTimespec(*deadline - now);
    lock.unlock();
    const int ready = ::ppoll(fds, 2, deadline ? &timeout : nullptr, nullptr);
    lock.lock();
    if (ready <= 0) continue;  // timeout or EINTR

    if (fds[0].revents != 0) {
      char drain[64];
      while (::read(wakeRead_, drain, sizeof drain) > 0) {
      }
    }
    // Only this thread closes the terminal, so master_ is still the polled descriptor.
    if (!listening || master_ < 0 || stop_) continue;
    if (fds[1].revents & (POLLOUT | POLLERR | POLLHUP)) blocked = false;
    if (fds[1].revents & (POLLIN | POLLERR | POLLHUP)) {
      char buffer[4096];
      const ssize_t got = ::read(master_, buffer, sizeof buffer);
      if (got > 0) {
        handleInput(buffer, static_cast<std::size_t>(got), Clock::now());
      } else if (got == 0 || (errno != EAGAIN && errno != EINTR)) {
        // EIO while no client has the terminal open, or a hang-up: look again shortly.
        quietUntil = Clock::now() + std::chrono::milliseconds(20);
      }
    }
  }
}

void RelayModule::handleInput(const char* bytes, std::size_t count, Clock::time_point readAt) {
  received_.append(bytes, count);
  for (std::size_t i = 0; i < count; ++i) {
    // Paced, the line in is modelled too: bytes written together arrive one after the other at
    // 9600 baud, each once its last bit is in, so a command's carriage return is stamped when a
    // real line would deliver it.
    Clock::time_point now = readAt;
    if (options_.paced) {
      inboundFreeAt_ = std::max(inboundFreeAt_, readAt) + kByteTime;
      now = inboundFreeAt_;
    }
    const char c = bytes[i];
    if (c == '\n') continue;
    if (c == '\r') {
      const std::string answer = lineTooLong_ ? std::string("ERROR") : execute(line_);
      log_.push_back(Command{now, line_});
      line_.clear();
      lineTooLong_ = false;
      if (!options_.silent) {
        const auto due = now + options_.replyDelay;
        if (options_.flood > 0) {
          out_.push_back(Chunk{{}, options_.flood, due, false});
          continue;
        }
        if (options_.noise > 0) out_.push_back(Chunk{{}, options_.noise, due, false});
        queueOutput("\r\n" + (options_.garbage ? std::string(kGarbage) : answer) + "\r\n>", due);
      }
      continue;
    }
    if (options_.echo && !options_.silent) queueOutput(std::string(1, c), now);
    if (line_.size() < kMaxLine) {
      line_ += c;
    } else {
      lineTooLong_ = true;
    }
  }
  changed_.notify_all();
}

std::string RelayModule::execute(const std::string& line) {
  const int relays = options_.relays;
  if (line == "id get") return options_.identification;
  if (const auto n = relayArgument(line, "relay read ", relays)) {
    return relays_[static_cast<std::size_t>(*n)] ? "on" : "off";
  }
  if (const auto n = relayArgument(line, "relay on ", relays)) {
    relays_[static_cast<std::size_t>(*n)] = true;
    return {};
  }
  if (const auto n = relayArgument(line, "relay off ", relays)) {
    relays_[static_cast<std::size_t>(*n)] = false;
    return {};
  }
  if (relays > kRelayCount) return executeAll(line);
  return "ERROR";
}

std::string RelayModule::executeAll(std::string_view line) {
  const int relays = options_.relays;
  const auto digits = static_cast<std::size_t>(maskDigits(relays));
  if (line == "relay readall") {
    std::uint32_t mask = 0;
    for (int n = 0; n < relays; ++n) {
      if (relays_[static_cast<std::size_t>(n)])
        mask |= std::uint32_t{1} << static_cast<unsigned>(n);
    }
    char hex[16];
    std::snprintf(hex, sizeof hex, "%0*X", static_cast<int>(digits), static_cast<unsigned>(mask));
    return hex;
  }
  constexpr std::string_view kWriteAll = "relay writeall ";
  if (!line.starts_with(kWriteAll)) return "ERROR";
  const std::string_view hex = line.substr(kWriteAll.size());
  std::uint32_t mask = 0;
  const auto [end, ec] = std::from_chars(hex.data(), hex.data() + hex.size(), mask, 16);
  if (hex.empty() || hex.size() > digits || ec != std::errc() || end != hex.data() + hex.size()) {
    return "ERROR";
  }
  for (int n = 0; n < relays; ++n) {
    relays_[static_cast<std::size_t>(n)] = ((mask >> static_cast<unsigned>(n)) & 1U) != 0;
  }
  return {};
}

void RelayModule::queueOutput(std::string bytes, Clock::time_point notBefore) {
  if (ownPending_ + bytes.size() > kMaxPending) {
    dropped_ += bytes.size();
    return;
  }
  ownPending_ += bytes.size();
  // Output leaves in order, so bytes due no later than the last queued piece can join it.
  if (!out_.empty() && !out_.back().injected && out_.back().noise == 0 &&
      out_.back().notBefore >= notBefore) {
    out_.back().data += bytes;
  } else {
    out_.push_back(Chunk{std::move(bytes), 0, notBefore, false});
  }
}

Clock::time_point RelayModule::nextDue() const {
  const Chunk& front = out_.front();
  if (options_.paced && !front.data.empty()) return std::max(front.notBefore, nextByteAt_);
  return front.notBefore;
}

bool RelayModule::pump(Clock::time_point now) {
  while (!out_.empty()) {
    Chunk& chunk = out_.front();
    if (chunk.data.empty() && chunk.noise == 0) {
      out_.pop_front();
      continue;
    }
    if (now < chunk.notBefore) return true;

    const bool paced = options_.paced && !chunk.data.empty();
    if (paced && now < nextByteAt_) return true;

    // Queued bytes (one at a time when paced), or else the next block of noise.
    char noise[4096];
    const char* bytes = chunk.data.data();
    std::size_t len = paced ? 1 : chunk.data.size();
    if (chunk.data.empty()) {
      len = std::min(chunk.noise, sizeof noise);
      for (std::size_t i = 0; i < len; ++i) {
        noiseState_ = noiseState_ * 1664525u + 1013904223u;
        noise[i] = kNoiseAlphabet[(noiseState_ >> 16) % kNoiseAlphabet.size()];
      }
      bytes = noise;
    }

    const ssize_t written = ::write(master_, bytes, len);
    if (written < 0) {
      if (errno == EINTR) continue;
      if (errno == EAGAIN) return false;
      // The terminal is unusable: nothing queued can be delivered.
      out_.clear();
      ownPending_ = 0;
      return true;
    }
    const auto n = static_cast<std::size_t>(written);
    if (chunk.data.empty()) {
      chunk.noise -= n;
      continue;
    }
    if (!chunk.injected) ownPending_ -= std::min(ownPending_, n);
    chunk.data.erase(0, n);
    if (paced) {
      // Keep the schedule of a running transmission; restart it after an idle line.
      const auto base = now - nextByteAt_ > 2 * kByteTime ? now : nextByteAt_;
      nextByteAt_ = base + kByteTime;
    }
  }
  return true;
}

}  // namespace sim
