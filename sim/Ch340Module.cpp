#include "sim/Ch340Module.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <stdexcept>

namespace sim {

namespace {

// How long the worker waits for bytes before it looks at the stop flag again.
constexpr int kPollMs = 20;

std::string hexBytes(const std::uint8_t* bytes, std::size_t count) {
  std::string out;
  for (std::size_t i = 0; i < count; ++i) {
    char hex[4];
    std::snprintf(hex, sizeof hex, "%02X", bytes[i]);
    if (i > 0) out += ' ';
    out += hex;
  }
  return out;
}

}  // namespace

Ch340Module::Ch340Module(int relays, bool paced) : relays_(relays), paced_(paced) {
  if (relays != 1 && relays != 2 && relays != 4 && relays != 8) {
    throw std::invalid_argument("a CH340 board has 1, 2, 4 or 8 relays, not " +
                                std::to_string(relays));
  }
  terminal_ = openTerminal();
  worker_ = std::thread(&Ch340Module::run, this);
}

Ch340Module::~Ch340Module() {
  stop_ = true;
  worker_.join();
  closeFd(terminal_.slave);
  closeFd(terminal_.master);
}

bool Ch340Module::relay(int n) const {
  if (n < 0 || n >= relays_) throw std::out_of_range("relay number " + std::to_string(n));
  std::lock_guard lock(mutex_);
  return ((state_ >> n) & 1U) != 0;
}

std::vector<Frame> Ch340Module::log() const { return logSince(0); }

std::vector<Frame> Ch340Module::logSince(std::size_t first) const {
  std::lock_guard lock(mutex_);
  if (first >= log_.size()) return {};
  return {log_.begin() + static_cast<std::ptrdiff_t>(first), log_.end()};
}

bool Ch340Module::waitForFrames(std::size_t count, std::chrono::milliseconds timeout) const {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, timeout, [&] { return log_.size() >= count; });
}

Ch340Module::Decoded Ch340Module::decode(const std::uint8_t* frame, int relays) {
  const std::string bytes = hexBytes(frame, kFrameSize);
  const auto sum = static_cast<std::uint8_t>(frame[0] + frame[1] + frame[2]);
  if (frame[3] != sum) return {"rejected " + bytes + ": bad checksum"};
  const int channel = frame[1];
  if (channel < 1 || channel > relays) {
    return {"rejected " + bytes + ": no relay " + std::to_string(channel)};
  }
  if (frame[2] > 1) return {"rejected " + bytes + ": unknown operation"};
  const bool on = frame[2] == 1;
  return {"relay " + std::to_string(channel) + (on ? " on" : " off"), channel - 1, on};
}

void Ch340Module::append(std::string text, bool carriedOut,
                         std::chrono::steady_clock::time_point at) {
  log_.push_back({at, std::move(text), carriedOut});
  changed_.notify_all();
}

void Ch340Module::take(const std::uint8_t* bytes, std::size_t count,
                       std::chrono::steady_clock::time_point readAt) {
  std::lock_guard lock(mutex_);
  for (std::size_t i = 0; i < count; ++i) {
    const std::uint8_t byte = bytes[i];
    if (paced_) inboundFreeAt_ = std::max(inboundFreeAt_, readAt) + kByteTime;
    const auto at = paced_ ? inboundFreeAt_ : readAt;
    // A frame starts only at the start byte: anything else between frames is line noise.
    if (pending_.empty() && byte != kStart) {
      append("stray " + hexBytes(&byte, 1), false, at);
      continue;
    }
    pending_.push_back(byte);
    if (pending_.size() < kFrameSize) continue;
    const Decoded decoded = decode(pending_.data(), relays_);
    pending_.clear();
    if (decoded.relay >= 0) {
      const std::uint32_t bit = 1U << decoded.relay;
      state_ = decoded.on ? (state_ | bit) : (state_ & ~bit);
    }
    append(decoded.text, decoded.relay >= 0, at);
  }
}

void Ch340Module::run() {
  while (!stop_) {
    pollfd p{terminal_.master, POLLIN, 0};
    if (::poll(&p, 1, kPollMs) <= 0) continue;
    std::uint8_t buffer[256];
    const ssize_t got = ::read(terminal_.master, buffer, sizeof buffer);
    if (got > 0) {
      take(buffer, static_cast<std::size_t>(got), std::chrono::steady_clock::now());
    } else {
      // No client holds the line (EIO while the slave is between openers): wait a little.
      ::poll(nullptr, 0, kPollMs);
    }
  }
}

}  // namespace sim
