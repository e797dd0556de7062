#pragma once

#include <QModbusDataUnit>
#include <QSerialPort>
#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "rig/Board.h"
#include "rig/SerialControl.h"

namespace modbus {

// A Modbus RTU relay board: its relays are coils 0 to relayCount()-1 of one slave on a serial
// line, named "modbus:<serial port>@<slave address>". Coils are switched one at a time with
// function 05, several at once with 15, and read back with 01.
//
// Qt's Modbus client answers asynchronously, through events: it lives on a thread of the board's
// own, and each call here hands its request there and waits for the answer without running any
// event of the calling thread (the rig's), so nothing else of the rig runs inside a request.
class ModbusBoard : public rig::Board {
 public:
  struct Options {
    int relays = 8;  // the coils the board has; it cannot be asked
    QSerialPort::BaudRate baudRate = QSerialPort::Baud9600;
    QSerialPort::Parity parity = QSerialPort::NoParity;  // most relay boards: 8N1
    // How long one request waits for its answer, and how often it is sent again without one.
    std::chrono::milliseconds timeout{500};
    int retries = 1;
  };

  static constexpr int kMaxRelays = 32;

  // Throws std::invalid_argument for a slave address outside 1 to 247 or a relay count outside
  // 1 to 32.
  ModbusBoard(std::string port, int slave, Options options);
  ~ModbusBoard() override;

  // "/dev/ttyUSB0@3": the port and the slave address; nothing when it is not that.
  static std::optional<std::pair<std::string, int>> parseIdentity(std::string_view identity);
  // The standard name of a Modbus exception code, "illegal data address".
  static std::string exceptionName(int code);

  rig::BoardName name() const override;
  int relayCount() const override { return options_.relays; }
  rig::BoardAbilities abilities() const override { return {true, true, false}; }

  // Opens the line and reads the coils once, so that a board that does not answer at this
  // address (NoAnswer) or lacks the coils (NotUnderstood) fails here.
  void open() override;
  void close() override;
  bool isOpen() const override;
  // The client has lost its line, or the device node is gone.
  bool gone() override;

  void switchRelay(int relay, bool on) override;
  // One request (function 15) for the span from the lowest to the highest relay in `which`;
  // relays inside the span but not in `which` are read first and written as they were.
  void switchRelays(rig::RelayMask which, rig::RelayMask on) override;
  rig::RelayMask readRelays() override;
  // The write of switchRelays() sent, its answer awaited by finishSwitch().
  void startSwitch(rig::RelayMask which, rig::RelayMask on) override;
  void finishSwitch() override;

  // The request's time on the line at the board's baud rate and parity, after the silence the RTU
  // client keeps before every request: function 05's 8 bytes for one coil.
  rig::Clock::duration switchLead(int relay, bool on) const override;
  // One coil's lead, or function 15's for the span (9 bytes and a byte for every 8 coils); a span
  // with coils to keep between the asked ones is read first, and that reading comes before it.
  rig::Clock::duration groupLead(rig::RelayMask which, rig::RelayMask on) const override;

  // The client's silence before a request: its own once open, 3.5 characters before.
  rig::Clock::duration silence() const;

 private:
  // `bytes` on the line: a start bit, 8 data bits, the parity bit if any and a stop bit each.
  rig::Clock::duration onTheLine(std::size_t bytes) const;
  [[noreturn]] void fail(const std::string& reason, rig::FailureKind kind) const;
  // Throws NotOpen before open(), DeviceGone once the client has lost its line.
  void checkLine() const;
  QModbusDataUnit read(int first, int count);
  void write(const QModbusDataUnit& unit);
  // The write of switchRelays(): the span's coils, those between the asked ones read first.
  QModbusDataUnit spanOf(rig::RelayMask which, rig::RelayMask on);

  // The client on its thread, and a request on its way there.
  class Line;
  struct Pending;
  // Waits for the request's answer and throws its failure.
  QModbusDataUnit await(const std::shared_ptr<Pending>& pending, const char* what);

  std::string port_;
  bool wentAway_ = false;  // gone() has seen the device go since the last opening
  int slave_;
  Options options_;
  std::unique_ptr<Line> line_;
  std::shared_ptr<Pending> started_;  // startSwitch()'s write, until finishSwitch()
};

}  // namespace modbus
