#pragma once

#include <QString>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "boards/hid/HidRelayBoard.h"
#include "boards/modbus/ModbusBoard.h"
#include "rig/BoardSource.h"

namespace boards {

// A serial port present now, as the catalog looks at it.
struct SerialPort {
  std::string path;        // the device ("/dev/ttyUSB0", a pseudo-terminal)
  std::string stablePath;  // a /dev/serial/by-id (else by-path) link to it; empty when none
  std::string vendorId;    // USB ids as four hex digits; empty off USB
  std::string productId;

  // The path a board on it is named by: the stable link where there is one.
  const std::string& namePath() const { return stablePath.empty() ? path : stablePath; }
};

// The USB id of the CH340 chip on the serial relay boards.
inline constexpr const char* kCh340Vendor = "1a86";
inline constexpr const char* kCh340Product = "7523";

// Lists and finds the relay boards of every kind by their names:
//  - text modules on the serial ports: listed as "text-id:<ID>" when a port answers "id get"
//    (every port is asked); found as "text-id:<ID>" the same way, or "text:<path>" by its device;
//  - CH340 boards: the ports with the CH340's USB id that no text module answers on, named
//    "ch340:<path>" (the by-id link where there is one); found by any path to the device;
//  - Modbus boards: only those configured (a Modbus line cannot be searched in reasonable time:
//    247 addresses, each with its timeout), listed when they answer; "modbus:<port>@<address>"
//    is found by opening that address;
//  - USB HID boards, "hid:<ID>", through the HID bus.
// Two boards claiming one identity are Ambiguous, both paths named. Boards are made on the
// calling thread; what find() returns is not yet open.
class Catalog : public rig::BoardSource {
 public:
  struct Parts {
    // The serial ports present now.
    std::function<std::vector<SerialPort>()> ports;
    // The HID boards' bus; none: no HID boards.
    std::shared_ptr<rig::HidBus> hid;
    // Modbus boards to list, "modbus:<port>@<address>".
    std::vector<rig::BoardName> modbus;
    modbus::ModbusBoard::Options modbusOptions;
    // The relays of a CH340 board, which cannot tell: the two the rig uses unless configured or
    // asked for by the rig file.
    int ch340Relays = 2;
  };

  explicit Catalog(Parts parts);

  // The system's serial ports (or the --ports list when given, without USB ids) and hidapi's
  // HID bus where it is built.
  static Parts systemParts(const std::optional<QString>& ports);
  // Makes a catalog on systemParts(ports) when called: for the rig service, which makes it on
  // its own thread.
  static std::function<std::unique_ptr<rig::BoardSource>()> systemSource(
      const std::optional<QString>& ports);

  rig::Listing list() override;
  std::unique_ptr<rig::Board> find(const rig::BoardName& name,
                                   std::optional<int> relays = std::nullopt) override;

  // Gives the USB HID board with ID `oldId` the ID `newId`. Throws std::invalid_argument for an
  // ID the board cannot store, SerialError: NoDevice when no board has `oldId`, Ambiguous when
  // two have it (which one is meant cannot be told) or when a board has `newId` already (the
  // change would make two of one name).
  void setHidId(const std::string& oldId, const std::string& newId);

 private:
  std::vector<rig::FoundBoard> hidBoards();
  // The Modbus board at its address, opened once to see that it answers with `relays` coils.
  std::unique_ptr<rig::Board> findModbus(const rig::BoardName& name, std::optional<int> relays);

  Parts parts_;
};

}  // namespace boards
