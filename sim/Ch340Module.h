#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "sim/Terminal.h"

// A relay board of the CH340 kind played on a pseudo-terminal: it takes four-byte frames
// A0 ch op sum (ch from 1, op 1 on and 0 off, sum the low byte of the other three) and says
// nothing back, as the real boards do.
namespace sim {

struct Frame {
  std::chrono::steady_clock::time_point at;
  // "relay 2 on", or "rejected A0 02 01 00: bad checksum" and the like for a frame not carried
  // out, or "stray 5A" for a byte outside any frame.
  std::string text;
  bool carriedOut = false;
};

class Ch340Module {
 public:
  static constexpr std::uint8_t kStart = 0xA0;
  static constexpr std::size_t kFrameSize = 4;

  static constexpr std::chrono::nanoseconds kByteTime{1'041'667};

  // 1, 2, 4 or 8 relays, all off. Paced, each byte received is stamped at the time it would
  // have arrived on a 9600 baud line (8N1), so a frame counts from its last byte's arrival.
  // Throws std::invalid_argument for another count and std::system_error when the terminal
  // cannot be opened.
  explicit Ch340Module(int relays, bool paced = false);
  ~Ch340Module();
  Ch340Module(const Ch340Module&) = delete;
  Ch340Module& operator=(const Ch340Module&) = delete;

  const std::string& devicePath() const { return terminal_.path; }
  int relayCount() const { return relays_; }
  // Relay n (0-based) as the frames left it.
  bool relay(int n) const;
  std::vector<Frame> log() const;
  std::vector<Frame> logSince(std::size_t first) const;
  // Waits until at least `count` entries are in the log; false on timeout.
  bool waitForFrames(std::size_t count, std::chrono::milliseconds timeout) const;

  // What one received frame does: the log text, and the relay it sets when carried out.
  struct Decoded {
    std::string text;
    int relay = -1;  // 0-based; -1 when the frame is rejected
    bool on = false;
  };
  static Decoded decode(const std::uint8_t* frame, int relays);

 private:
  void run();
  void take(const std::uint8_t* bytes, std::size_t count,
            std::chrono::steady_clock::time_point readAt);
  void append(std::string text, bool carriedOut, std::chrono::steady_clock::time_point at);

  const int relays_;
  const bool paced_;
  // Paced: when the line in is free again, after the last byte received has fully arrived.
  std::chrono::steady_clock::time_point inboundFreeAt_{};
  Terminal terminal_;
  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  std::uint32_t state_ = 0;
  std::vector<Frame> log_;
  std::vector<std::uint8_t> pending_;  // the start of a frame not yet complete
  std::atomic<bool> stop_{false};
  std::thread worker_;
};

}  // namespace sim
