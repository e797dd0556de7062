#include "Ch340Board.h"

#include <QFileInfo>
#include <stdexcept>
#include <tuple>

#include "rig/Arming.h"
#include "rig/BoardError.h"
#include "serial/CommControl.h"

namespace serial {

namespace {

// Four bytes take about 4 ms at 9600 baud; a frame not out after this is stuck in a dead port.
constexpr int kWriteTimeoutMs = 1000;

}  // namespace

Ch340Board::Ch340Board(std::string port, int relays) : port_(std::move(port)), relays_(relays) {
  if (relays != 1 && relays != 2 && relays != 4 && relays != 8) {
    throw std::invalid_argument("a CH340 board has 1, 2, 4 or 8 relays, not " +
                                std::to_string(relays));
  }
}

Ch340Board::Frame Ch340Board::frame(int relay, bool on) {
  const auto channel = static_cast<std::uint8_t>(relay + 1);
  const std::uint8_t op = on ? 1 : 0;
  return {kStart, channel, op, static_cast<std::uint8_t>(kStart + channel + op)};
}

void Ch340Board::fail(const QString& reason, rig::FailureKind kind) const {
  throw rig::boardError(name(), port_, reason.toStdString(), kind);
}

void Ch340Board::open() {
  if (serial_.isOpen()) fail(QStringLiteral("already open"), rig::FailureKind::Other);
  serial_.setPortName(QString::fromStdString(port_));
  serial_.setBaudRate(QSerialPort::Baud9600);
  serial_.setDataBits(QSerialPort::Data8);
  serial_.setParity(QSerialPort::NoParity);
  serial_.setStopBits(QSerialPort::OneStop);
  serial_.setFlowControl(QSerialPort::NoFlowControl);
  if (!serial_.open(QIODevice::ReadWrite)) {
    fail(serial_.errorString(),
         CommControl::openFailureKind(serial_.error(), serial_.errorString()));
  }
  wentAway_ = false;
  // The board cannot say what is on: every relay off, so the record matches the board.
  try {
    for (int relay = 0; relay < relays_; ++relay) send(relay, false);
  } catch (...) {  // passes on, the port closed
    serial_.close();
    throw;
  }
}

bool Ch340Board::gone() {
  if (!serial_.isOpen()) return false;
  // Once seen gone, gone until opened again: a board put back at the same path has lost what it
  // was told, and this port no longer reaches it.
  wentAway_ = wentAway_ || serial_.error() == QSerialPort::ResourceError ||
              !QFileInfo::exists(QString::fromStdString(port_));
  return wentAway_;
}

void Ch340Board::close() {
  if (serial_.isOpen()) serial_.close();
}

void Ch340Board::send(int relay, bool on) {
  if (!serial_.isOpen()) fail(QStringLiteral("not open"), rig::FailureKind::NotOpen);
  const Frame bytes = frame(relay, on);
  const auto written =
      serial_.write(reinterpret_cast<const char*>(bytes.data()), static_cast<qint64>(bytes.size()));
  // Written and gone from the buffer, or the frame may still be lost.
  bool sent = written == static_cast<qint64>(bytes.size());
  while (sent && serial_.bytesToWrite() > 0) sent = serial_.waitForBytesWritten(kWriteTimeoutMs);
  if (!sent) {
    const bool gone = serial_.error() == QSerialPort::ResourceError;
    const QString reason = serial_.errorString();
    serial_.close();
    fail(reason, gone ? rig::FailureKind::DeviceGone : rig::FailureKind::WriteFailed);
  }
  const rig::RelayMask bit = rig::RelayMask{1} << relay;
  commanded_ = on ? (commanded_ | bit) : (commanded_ & ~bit);
}

void Ch340Board::switchRelay(int relay, bool on) {
  rig::checkRelayNumber(relay, relays_);
  send(relay, on);
}

void Ch340Board::switchRelays(rig::RelayMask which, rig::RelayMask on) {
  rig::checkRelayMask(which, relays_);
  for (int relay = 0; relay < relays_; ++relay) {
    if (((which >> relay) & 1U) != 0) send(relay, ((on >> relay) & 1U) != 0);
  }
}

rig::Clock::duration Ch340Board::switchLead(int /*relay*/, bool /*on*/) const {
  return rig::wireTime(std::tuple_size_v<Frame>);
}

rig::RelayMask Ch340Board::readRelays() {
  if (!serial_.isOpen()) fail(QStringLiteral("not open"), rig::FailureKind::NotOpen);
  return commanded_;
}

}  // namespace serial
