#pragma once

#include <QSerialPort>
#include <array>
#include <cstdint>
#include <string>

#include "rig/Board.h"
#include "rig/SerialControl.h"

namespace serial {

// A relay board on a CH340 USB serial chip that takes four-byte frames at 9600 baud 8N1:
// A0, the relay from 1, 1 for on or 0 for off, and the low byte of the sum of those three. The
// board says nothing back, so it cannot tell its relay count (given here: 1, 2, 4 or 8) nor its
// relays' states: readRelays() is what was last commanded, and open() switches every relay off
// so that the record starts true. Named "ch340:<serial port>".
class Ch340Board : public rig::Board {
 public:
  static constexpr std::uint8_t kStart = 0xA0;
  using Frame = std::array<std::uint8_t, 4>;

  // Throws std::invalid_argument for a relay count the boards do not come with.
  Ch340Board(std::string port, int relays);

  // The frame that switches relay `relay` (0-based).
  static Frame frame(int relay, bool on);

  rig::BoardName name() const override { return {"ch340", port_}; }
  int relayCount() const override { return relays_; }
  rig::BoardAbilities abilities() const override { return {}; }

  void open() override;
  void close() override;
  bool isOpen() const override { return serial_.isOpen(); }
  // The device node is gone, or the line hung up (seen once this thread's events have run).
  bool gone() override;

  void switchRelay(int relay, bool on) override;
  void switchRelays(rig::RelayMask which, rig::RelayMask on) override;
  rig::RelayMask readRelays() override;
  // A frame's four bytes at 9600 baud; several relays go a frame each, the first one first.
  rig::Clock::duration switchLead(int relay, bool on) const override;

 private:
  [[noreturn]] void fail(const QString& reason, rig::FailureKind kind) const;
  void send(int relay, bool on);

  std::string port_;
  bool wentAway_ = false;  // gone() has seen the device go since the last opening
  int relays_;
  QSerialPort serial_;
  rig::RelayMask commanded_ = 0;
};

}  // namespace serial
