#include "HidRelayBoard.h"

#include <algorithm>
#include <stdexcept>

#include "rig/BoardError.h"

namespace rig {

namespace hid_relay {

namespace {
constexpr std::string_view kProductPrefix = "USBRelay";
constexpr std::size_t kStateByte = 7;  // in the report, after the report id
constexpr int kMaxRelays = 8;
}  // namespace

int relayCount(std::string_view product) {
  if (!product.starts_with(kProductPrefix) || product.size() != kProductPrefix.size() + 1) {
    return 0;
  }
  const int count = product.back() - '0';
  return count >= 1 && count <= kMaxRelays ? count : 0;
}

std::vector<std::uint8_t> report(std::uint8_t command, std::string_view arguments) {
  std::vector<std::uint8_t> bytes(kReportLength + 1, 0);
  bytes[1] = command;
  std::copy_n(arguments.begin(), std::min(arguments.size(), kReportLength - 1), bytes.begin() + 2);
  return bytes;
}

std::string idOf(const std::vector<std::uint8_t>& report) {
  std::string id;
  for (std::size_t i = 1; i <= kIdLength && i < report.size(); ++i) {
    id += static_cast<char>(report[i]);
  }
  // A board given a shorter ID pads it; those bytes are not part of its name.
  while (!id.empty() && (id.back() == '\0' || id.back() == ' ')) id.pop_back();
  return id;
}

}  // namespace hid_relay

namespace {

// The report with the ID and the states: the report id and the report's 8 bytes.
std::vector<std::uint8_t> readStateReport(HidDevice& device) {
  return device.getFeatureReport(0, hid_relay::kReportLength + 1);
}

}  // namespace

namespace {

// The relay boards present and readable; those that could not be read (held by another
// program, not the user's to open) are put in `unreadable` when it is given.
std::vector<FoundBoard> scan(HidBus& bus, std::vector<Failure>* unreadable) {
  std::vector<FoundBoard> found;
  for (const HidDeviceInfo& info : bus.enumerate(hid_relay::kVendorId, hid_relay::kProductId)) {
    // The USB id is shared by other hobby devices: only those calling themselves relay boards.
    const int relays = hid_relay::relayCount(info.product);
    if (relays == 0) continue;
    std::string id;
    try {
      id = hid_relay::idOf(readStateReport(*bus.open(info.path)));
    } catch (const SerialError& e) {
      if (unreadable != nullptr) unreadable->push_back(e.failure());
      continue;
    }
    found.push_back({{"hid", id}, relays, {true, true, true}, info.path, {}});
  }
  return found;
}

}  // namespace

std::vector<FoundBoard> findHidRelayBoards(HidBus& bus) { return scan(bus, nullptr); }

HidRelayBoard::HidRelayBoard(HidBus& bus, std::string id) : bus_(bus), id_(std::move(id)) {}

HidDevice& HidRelayBoard::device() {
  if (!device_) throw boardError(name(), path_, "not open", FailureKind::NotOpen);
  return *device_;
}

void HidRelayBoard::open() {
  if (device_) throw boardError(name(), path_, "already open", FailureKind::Other);
  std::vector<FoundBoard> matches;
  std::vector<Failure> unreadable;
  for (FoundBoard& board : scan(bus_, &unreadable)) {
    if (board.name.identity == id_) matches.push_back(std::move(board));
  }
  // A board that could not be read may be this one: its failure (most often a permission the
  // udev rules give) says more than "not present".
  if (matches.empty() && !unreadable.empty()) {
    throw boardError(name(), unreadable[0].device,
                     "no readable board has this ID, and " + unreadable[0].reason,
                     unreadable[0].kind);
  }
  if (matches.empty()) {
    throw boardError(name(), "", "no USB HID relay board with this ID is present",
                     FailureKind::NoDevice);
  }
  if (matches.size() > 1) {
    throw boardError(name(), "",
                     "boards at " + matches[0].path + " and " + matches[1].path +
                         " have the same ID; give one of them another ID",
                     FailureKind::Ambiguous);
  }
  path_ = matches[0].path;
  relays_ = matches[0].relays;
  device_ = bus_.open(path_);
}

void HidRelayBoard::close() { device_.reset(); }

bool HidRelayBoard::gone() {
  if (!device_) return false;
  return std::ranges::none_of(bus_.enumerate(hid_relay::kVendorId, hid_relay::kProductId),
                              [this](const HidDeviceInfo& info) { return info.path == path_; });
}

void HidRelayBoard::send(const std::vector<std::uint8_t>& report) {
  try {
    device().sendFeatureReport(report);
  } catch (const SerialError& e) {
    device_.reset();  // a board that took no report is gone or broken: open it anew
    throw boardError(name(), path_, e.reason(), e.kind());
  }
}

std::vector<std::uint8_t> HidRelayBoard::readReport() {
  std::vector<std::uint8_t> report;
  try {
    report = readStateReport(device());
  } catch (const SerialError& e) {
    device_.reset();
    throw boardError(name(), path_, e.reason(), e.kind());
  }
  if (report.size() < hid_relay::kReportLength + 1) {
    throw boardError(name(), path_,
                     "the board's report has " + std::to_string(report.size()) + " bytes, not " +
                         std::to_string(hid_relay::kReportLength + 1),
                     FailureKind::NotUnderstood);
  }
  return report;
}

void HidRelayBoard::switchRelay(int relay, bool on) {
  checkRelayNumber(relay, relays_);
  const auto number = static_cast<char>(relay + 1);
  send(hid_relay::report(on ? hid_relay::kOn : hid_relay::kOff, std::string_view(&number, 1)));
}

void HidRelayBoard::switchRelays(RelayMask which, RelayMask on) {
  checkRelayMask(which, relays_);
  const RelayMask all = allRelays(relays_);
  const RelayMask now = readRelays();
  const RelayMask wanted = (now & ~which) | (on & which);
  if (wanted == all || wanted == 0) {
    send(hid_relay::report(wanted == all ? hid_relay::kAllOn : hid_relay::kAllOff));
    return;
  }
  for (int relay = 0; relay < relays_; ++relay) {
    const RelayMask bit = RelayMask{1} << relay;
    // Every relay asked for is commanded, also one that reads as already there.
    if ((which & bit) != 0) switchRelay(relay, (wanted & bit) != 0);
  }
}

RelayMask HidRelayBoard::readRelays() {
  return readReport()[hid_relay::kStateByte + 1] & allRelays(relays_);
}

void HidRelayBoard::setId(const std::string& id) {
  if (!hid_relay::validId(id)) {
    throw std::invalid_argument("a board ID is 1 to 5 printable characters, not '" + id + "'");
  }
  std::string padded = id;
  padded.resize(hid_relay::kIdLength, ' ');
  send(hid_relay::report(hid_relay::kSetId, padded));
  const std::string now = hid_relay::idOf(readReport());
  if (now != id) {
    throw boardError(name(), path_, "the board kept its ID '" + now + "' (it cannot be changed)",
                     FailureKind::NotUnderstood);
  }
  id_ = id;
}

}  // namespace rig
