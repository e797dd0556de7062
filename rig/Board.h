#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "Clock.h"

namespace rig {

// A board's relays as one mask: bit n is relay n (0-based). 32 relays at most.
using RelayMask = std::uint32_t;

// What a board can do beyond switching one relay at a time.
struct BoardAbilities {
  bool readBack = false;    // it reports its relays' states; without it, they are as last commanded
  bool switchMany = false;  // several relays switch with one command, so they close together
  bool settableId = false;  // its identity can be changed (boards that ship with the same one)
};

// A board as it is named on the command line and in rig files: kind and identity,
// "hid:QM7YK", "text:/dev/serial/by-id/...", "text-id:RIG02", "modbus:/dev/ttyUSB0@3",
// "ch340:/dev/serial/by-path/...". Never an enumeration order.
struct BoardName {
  std::string kind;
  std::string identity;

  std::string text() const { return kind + ":" + identity; }
  bool operator==(const BoardName&) const = default;
};

// The kinds a name may start with.
inline constexpr std::string_view kBoardKinds[] = {"text", "text-id", "ch340", "modbus", "hid"};

// "kind:identity" with a known kind and a non-empty identity; nothing otherwise.
std::optional<BoardName> parseBoardName(std::string_view text);
// The device a board's name gives: a path's kinds their path, a Modbus line its path without the
// address; empty for the kinds named otherwise (text-id, hid).
std::string deviceOf(const BoardName& name);

// The slave addresses a Modbus board can answer at.
inline constexpr int kFirstModbusAddress = 1;
inline constexpr int kLastModbusAddress = 247;

// A Modbus board's identity, "PATH@ADDRESS", as its line and address; nothing when it is not
// that or the address is not one a board can have.
std::optional<std::pair<std::string, int>> modbusLine(std::string_view identity);

// What makes a name of a known kind one that no board can have, in words ("a Modbus board is
// named PATH@ADDRESS ..."); empty when a board can have it.
std::string identityProblem(const BoardName& name);
// The longest text module identity usable as a name; a longer answer is no identity but a fault.
inline constexpr std::size_t kTextIdLength = 32;
// A USB HID board's ID, as its names take it: 1 to 5 printable ASCII characters, no blank or
// colon; `validId` tells whether `id` can be one.
namespace hid_relay {
inline constexpr std::size_t kIdLength = 5;
bool validId(std::string_view id);
}  // namespace hid_relay

// Whether a board of this kind can have this many relays: a CH340 board 1, 2, 4 or 8, a Modbus
// board 1 to 32 coils, a USB HID board 1 to 8, a text module 2 to 32.
bool relayCountFits(std::string_view kind, int relays);
// The most relays a board of this kind can have.
int mostRelays(std::string_view kind);
// The counts relayCountFits() takes, in words: "1, 2, 4 or 8", "1 to 32".
std::string relayCounts(std::string_view kind);

// Whether two names stand for one device, which cannot be two boards of a rig: the same name, one
// serial device under two paths (links count as what they lead to) or two kinds, one Modbus
// address on one line. Two addresses on one Modbus line are two boards on one bus.
bool sameBoard(const BoardName& a, const BoardName& b);

// A board that discovery found, as `quillmar-cli boards` lists it.
struct FoundBoard {
  BoardName name;
  int relays = 0;
  BoardAbilities abilities;
  std::string path;     // the serial port or HID path it is on now
  std::string problem;  // why its name cannot be used to name it (identityProblem); empty if it can
};

// A port where something answered but no board could be read from it, and why.
struct PassedOver {
  std::string path;
  std::string why;
};

// What a search for boards found: the boards, and the ports it passed over.
struct Listing {
  std::vector<FoundBoard> boards;
  std::vector<PassedOver> passedOver;
};

// One relay board, in the manner of a device class: open and close, its identity, its relays,
// switching and reading back. Failures are thrown as SerialError with a FailureKind, as the
// serial control's are. Implementations keep their own bytes and timings; the text module's are
// exactly the panel's.
class Board {
 public:
  Board() = default;
  Board(const Board&) = delete;
  Board& operator=(const Board&) = delete;
  virtual ~Board() = default;

  virtual BoardName name() const = 0;
  // The device it is on, for people: the path its name gives (a Modbus line's without the
  // address), or the port a module found by its answer is on; empty when no path tells it.
  virtual std::string device() const;
  virtual int relayCount() const = 0;
  virtual BoardAbilities abilities() const = 0;

  // Opens the board; a board that cannot read back is switched all off here, so nothing is
  // ever on by a guess.
  virtual void open() = 0;
  virtual void close() = 0;
  virtual bool isOpen() const = 0;
  // Whether the open board's device has gone away (unplugged, its line hung up), looked at
  // without a word to the board: asked between actions, so that a lost board is noticed before
  // the next action fails on it. False for a closed board.
  virtual bool gone() { return false; }

  virtual void switchRelay(int relay, bool on) = 0;
  // Switches the relays in `which` to their bits in `on`: with one command where the board can
  // (abilities().switchMany), otherwise one after another from the lowest relay.
  virtual void switchRelays(RelayMask which, RelayMask on) = 0;
  // The relays' states: as the board reports them, or, without read-back, as last commanded.
  virtual RelayMask readRelays() = 0;
  // One relay's state, the same way; a board that asks per relay asks for this one alone.
  virtual bool readRelay(int relay) { return ((readRelays() >> relay) & 1U) != 0; }

  // Told of each reply a reading got, as it came and before it is interpreted (the text module's
  // reply, which the main window keeps in its hidden box). Boards whose replies are no text for
  // people never call it.
  using ReplyObserver = std::function<void(const std::string& reply)>;
  virtual void setReplyObserver(const ReplyObserver& /*observer*/) {}

  // How long before the relay switches a switchRelay() call for it must begin: the command's
  // time on the line. An armed shot starts its switch this early, so that it lands on time.
  virtual Clock::duration switchLead(int /*relay*/, bool /*on*/) const { return {}; }
  // The same for a switchRelays(which, on) call, to its first relay's switch: one command's time
  // where the board switches them with one, which may be longer than one relay's. By default the
  // longest of the relays' own leads.
  virtual Clock::duration groupLead(RelayMask which, RelayMask on) const;
  // Does now what a switchRelays(which, on) would first do before its command (a board that
  // writes all its relays at once reads them first), so that at the moment of the switch only its
  // own command goes out, as groupLead() counts. By default there is nothing to do.
  virtual void prepareSwitch(RelayMask /*which*/, RelayMask /*on*/) {}

  // switchRelays() in two halves, for boards switched at one moment: startSwitch() puts the
  // command on its way and finishSwitch() awaits its answer and throws its failure, so that the
  // next board's command need not wait for this one's answer. By default the whole switch is
  // done by startSwitch().
  virtual void startSwitch(RelayMask which, RelayMask on) { switchRelays(which, on); }
  virtual void finishSwitch() {}
};

}  // namespace rig
