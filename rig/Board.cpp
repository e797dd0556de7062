#include "Board.h"

#include <algorithm>
#include <bit>
#include <charconv>
#include <limits>

#include "Devices.h"
#include "Protocol.h"

namespace rig {

namespace {

struct RelayRange {
  std::string_view kind;
  int least;
  int most;
};
// A text module has its two relays or more; a CH340 board's counts are 1, 2, 4 or 8 within its
// range; a relay mask's width bounds the rest.
constexpr int kMaskWidth = std::numeric_limits<RelayMask>::digits;
constexpr RelayRange kRelayRanges[] = {{"text", 2, kMaskWidth},
                                       {"text-id", 2, kMaskWidth},
                                       {"ch340", 1, 8},
                                       {"modbus", 1, kMaskWidth},
                                       {"hid", 1, 8}};

// What a module answers to "id get" is ours to use as a name only when it can be typed in a
// shell and a rig file as it stands, and shown on a terminal without escaping.
bool usableTextId(std::string_view id) {
  return !id.empty() && id.size() <= kTextIdLength && std::ranges::all_of(id, [](char c) {
    return c > ' ' && c < 0x7f && c != ':' && c != '"' && c != '\\';
  });
}

RelayRange rangeOf(std::string_view kind) {
  const auto* range = std::ranges::find(kRelayRanges, kind, &RelayRange::kind);
  return range != std::end(kRelayRanges) ? *range : RelayRange{kind, 1, kMaskWidth};
}

// The serial device a board is on, for the kinds named by it.
std::optional<std::string> serialDevice(const BoardName& name) {
  if (name.kind == "text" || name.kind == "ch340") return name.identity;
  if (name.kind == "modbus") {
    if (const auto line = modbusLine(name.identity)) return line->first;
  }
  return std::nullopt;
}

}  // namespace

namespace hid_relay {

bool validId(std::string_view id) {
  return !id.empty() && id.size() <= kIdLength &&
         std::ranges::all_of(id, [](char c) { return c > ' ' && c < 0x7f && c != ':'; });
}

}  // namespace hid_relay

std::optional<BoardName> parseBoardName(std::string_view text) {
  const auto colon = text.find(':');
  if (colon == std::string_view::npos) return std::nullopt;
  const std::string_view kind = text.substr(0, colon);
  const std::string_view identity = text.substr(colon + 1);
  if (identity.empty() || std::ranges::find(kBoardKinds, kind) == std::end(kBoardKinds)) {
    return std::nullopt;
  }
  return BoardName{std::string(kind), std::string(identity)};
}

std::optional<std::pair<std::string, int>> modbusLine(std::string_view identity) {
  const auto at = identity.rfind('@');
  if (at == std::string_view::npos || at == 0) return std::nullopt;
  const std::string_view number = identity.substr(at + 1);
  int address = 0;
  const auto [end, ec] = std::from_chars(number.data(), number.data() + number.size(), address);
  if (ec != std::errc() || end != number.data() + number.size() || address < kFirstModbusAddress ||
      address > kLastModbusAddress) {
    return std::nullopt;
  }
  return std::pair{std::string(identity.substr(0, at)), address};
}

std::string identityProblem(const BoardName& name) {
  if (name.kind == "modbus" && !modbusLine(name.identity)) {
    return "a Modbus board is named PATH@ADDRESS, the address " +
           std::to_string(kFirstModbusAddress) + " to " + std::to_string(kLastModbusAddress) +
           ", not '" + name.identity + "'";
  }
  if (name.kind == "text-id" && !usableTextId(name.identity)) {
    return "a text module's identity names it when it is 1 to " + std::to_string(kTextIdLength) +
           " printable characters without blanks, colons, quotes or backslashes, not '" +
           protocol::escaped(name.identity) + "'; name it by its device (text:PATH)";
  }
  if (name.kind == "hid" && !hid_relay::validId(name.identity)) {
    return "a USB HID board's ID is 1 to " + std::to_string(hid_relay::kIdLength) +
           " printable characters without blanks or colons, not '" + name.identity + "'";
  }
  return {};
}

bool relayCountFits(std::string_view kind, int relays) {
  const RelayRange range = rangeOf(kind);
  if (relays < range.least || relays > range.most) return false;
  return kind != "ch340" || std::has_single_bit(static_cast<unsigned>(relays));
}

int mostRelays(std::string_view kind) { return rangeOf(kind).most; }

std::string relayCounts(std::string_view kind) {
  if (kind == "ch340") return "1, 2, 4 or 8";
  const RelayRange range = rangeOf(kind);
  return std::to_string(range.least) + " to " + std::to_string(range.most);
}

bool sameBoard(const BoardName& a, const BoardName& b) {
  if (a == b) return true;
  const auto deviceA = serialDevice(a);
  const auto deviceB = serialDevice(b);
  if (!deviceA || !deviceB || !sameDevice(*deviceA, *deviceB)) return false;
  return a.kind != "modbus" || b.kind != "modbus" ||
         modbusLine(a.identity)->second == modbusLine(b.identity)->second;
}

std::string deviceOf(const BoardName& name) { return serialDevice(name).value_or(std::string()); }

std::string Board::device() const { return deviceOf(name()); }

Clock::duration Board::groupLead(RelayMask which, RelayMask on) const {
  Clock::duration lead{};
  for (int relay = 0; relay < 32; ++relay) {
    if (((which >> relay) & 1U) != 0) {
      lead = std::max(lead, switchLead(relay, ((on >> relay) & 1U) != 0));
    }
  }
  return lead;
}

}  // namespace rig
