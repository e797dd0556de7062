#include "Catalog.h"

#include <QStringList>
#include <filesystem>
#include <set>
#include <stdexcept>
#include <system_error>

#include "boards/ch340/Ch340Board.h"
#include "boards/text/TextBoard.h"
#include "boards/text/TextDiscovery.h"
#include "rig/SystemClock.h"
#include "serial/CommControl.h"

namespace boards {

namespace {

bool isCh340(const SerialPort& port) {
  return port.vendorId == kCh340Vendor && port.productId == kCh340Product;
}

bool exists(const std::string& path) {
  std::error_code error;
  return std::filesystem::exists(path, error);
}

// The listed port that is the device `path` names, if any.
const SerialPort* portOf(const std::vector<SerialPort>& ports, const std::string& path) {
  for (const SerialPort& port : ports) {
    if (rig::sameDevice(port.path, path) ||
        (!port.stablePath.empty() && rig::sameDevice(port.stablePath, path))) {
      return &port;
    }
  }
  return nullptr;
}

// A serial control numbering the listed ports from 1, for asking each "id get".
std::unique_ptr<serial::CommControl> controlOver(const std::vector<SerialPort>& ports) {
  QStringList devices;
  for (const SerialPort& port : ports) devices << QString::fromStdString(port.path);
  return std::make_unique<serial::CommControl>(serial::PortMap(devices));
}

// A text module found by name: the text board whole, on a line of its own. Its waits are for its
// own replies only: a stop request never cuts them short, so that the rig's ending can still
// release its lines after a signal.
std::unique_ptr<rig::Board> textBoard(const std::string& device, const rig::BoardName& name) {
  auto line = std::make_unique<serial::CommControl>(
      serial::PortMap(QStringList{QString::fromStdString(device)}));
  return std::make_unique<rig::TextBoard>(std::move(line),
                                          std::make_unique<rig::SystemClock>(false), name, device);
}

// The text modules answering on the ports, with their relay count and abilities as the module
// reports them ("relay readall"; a module without it is the two-relay one). By port index.
std::vector<std::pair<std::size_t, rig::FoundBoard>> textModules(
    const std::vector<SerialPort>& ports, std::vector<rig::PassedOver>& passedOver) {
  std::vector<std::pair<std::size_t, rig::FoundBoard>> found;
  if (ports.empty()) return found;
  const auto control = controlOver(ports);
  rig::SystemClock clock;
  rig::TextModules modules = rig::discoverTextModules(*control, clock);
  passedOver = std::move(modules.passedOver);
  for (const rig::TextModule& module : modules.found) {
    const auto index = static_cast<std::size_t>(module.port - 1);
    rig::FoundBoard board = module.board;
    board.path = ports[index].namePath();
    rig::TextBoard text(*control, clock, board.name);
    try {
      control->setPortNumber(module.port);
      text.open();
      text.readRelays();
    } catch (const rig::CutShort&) {
      throw;  // the listing ends with the wait
    } catch (const std::exception&) {
      // It answered "id get" a moment ago: listed with what is known of it.
    }
    try {
      control->setPortOpen(false);
    } catch (const std::exception&) {
    }
    board.relays = text.relayCount();
    board.abilities = text.abilities();
    found.emplace_back(index, std::move(board));
  }
  return found;
}

}  // namespace

Catalog::Catalog(Parts parts) : parts_(std::move(parts)) {}

std::vector<rig::FoundBoard> Catalog::hidBoards() {
  if (!parts_.hid) return {};
  return rig::findHidRelayBoards(*parts_.hid);
}

rig::Listing Catalog::list() {
  const std::vector<SerialPort> ports = parts_.ports ? parts_.ports() : std::vector<SerialPort>{};
  rig::Listing listing;
  std::vector<rig::FoundBoard>& found = listing.boards;
  std::set<std::size_t> answered;
  for (auto& [index, board] : textModules(ports, listing.passedOver)) {
    answered.insert(index);
    found.push_back(std::move(board));
  }
  for (std::size_t i = 0; i < ports.size(); ++i) {
    if (!isCh340(ports[i]) || answered.contains(i)) continue;
    found.push_back(
        {{"ch340", ports[i].namePath()}, parts_.ch340Relays, {}, ports[i].namePath(), {}});
  }
  for (const rig::BoardName& name : parts_.modbus) {
    try {
      const std::unique_ptr<rig::Board> board = find(name);
      found.push_back({name,
                       board->relayCount(),
                       board->abilities(),
                       modbus::ModbusBoard::parseIdentity(name.identity)->first,
                       {}});
    } catch (const rig::CutShort&) {
      throw;  // the listing ends with the wait
    } catch (const std::exception&) {
      // Not answering at that address now: not present.
    }
  }
  for (rig::FoundBoard& board : hidBoards()) found.push_back(std::move(board));
  return listing;
}

std::unique_ptr<rig::Board> Catalog::findModbus(const rig::BoardName& name,
                                                std::optional<int> relays) {
  const auto address = modbus::ModbusBoard::parseIdentity(name.identity);
  if (!address) {
    throw rig::failed(rig::FailureKind::Other,
                      name.text() + ": a Modbus board is named modbus:<port>@<address 1-247>");
  }
  if (!exists(address->first)) {
    throw rig::failed(rig::FailureKind::NoDevice, name.text() + ": no device is " + address->first);
  }
  // Opened with `coils` (reads them): a board answers at that address with so many, or not.
  const auto tryOpen = [&](int coils) {
    modbus::ModbusBoard::Options options = parts_.modbusOptions;
    options.relays = coils;
    auto board = std::make_unique<modbus::ModbusBoard>(address->first, address->second, options);
    board->open();
    board->close();
    return board;
  };
  const int asked = relays.value_or(parts_.modbusOptions.relays);
  try {
    return tryOpen(asked);
  } catch (const rig::SerialError& error) {
    if (error.kind() == rig::FailureKind::NoAnswer) {
      throw rig::failed(rig::FailureKind::NoDevice, name.text() + ": no board answers at address " +
                                                        std::to_string(address->second) + " on " +
                                                        address->first);
    }
    if (error.kind() != rig::FailureKind::NotUnderstood || asked == 1) throw;
    // Refused for coils it lacks: how many it has, at the sizes boards come in, says why.
    for (const int fewer : {32, 16, 8, 4, 2, 1}) {
      if (fewer >= asked) continue;
      try {
        tryOpen(fewer);
      } catch (const rig::SerialError&) {
        continue;
      }
      throw rig::failed(rig::FailureKind::Other, name.text() + ": has " + std::to_string(fewer) +
                                                     " relays, the file asks for " +
                                                     std::to_string(asked));
    }
    throw;
  }
}

std::unique_ptr<rig::Board> Catalog::find(const rig::BoardName& name, std::optional<int> relays) {
  const std::vector<SerialPort> ports = parts_.ports ? parts_.ports() : std::vector<SerialPort>{};
  if (name.kind == "text" || name.kind == "ch340") {
    // A path is its own identity: a device the system does not list (a pseudo-terminal) is
    // still that device.
    const SerialPort* port = portOf(ports, name.identity);
    if (port == nullptr && !exists(name.identity)) {
      throw rig::failed(rig::FailureKind::NoDevice,
                        name.text() + ": no device is " + name.identity);
    }
    const std::string device = port != nullptr ? port->path : name.identity;
    if (name.kind == "text") return textBoard(device, name);
    try {
      return std::make_unique<serial::Ch340Board>(name.identity,
                                                  relays.value_or(parts_.ch340Relays));
    } catch (const std::invalid_argument& error) {
      throw rig::failed(rig::FailureKind::Other, name.text() + ": " + error.what());
    }
  }
  if (name.kind == "text-id") {
    const auto control = controlOver(ports);
    rig::SystemClock clock;
    try {
      const rig::ResolvedPort resolved = rig::resolveTextBoard(name, *control, clock);
      return textBoard(resolved.device.path, name);
    } catch (const rig::SerialError& error) {
      throw rig::failed(error.kind(), name.text() + ": " + error.reason());
    }
  }
  if (name.kind == "modbus") return findModbus(name, relays);
  if (name.kind == "hid") {
    std::vector<rig::FoundBoard> matches;
    for (rig::FoundBoard& board : hidBoards()) {
      if (board.name == name) matches.push_back(std::move(board));
    }
    if (matches.empty()) {
      throw rig::failed(rig::FailureKind::NoDevice,
                        name.text() + ": no USB HID relay board with this ID is present");
    }
    if (matches.size() > 1) {
      throw rig::failed(rig::FailureKind::Ambiguous,
                        name.text() + ": two boards have this ID, at " + matches[0].path + " and " +
                            matches[1].path +
                            "; give one another ID (quillmar-cli boards --set-id)");
    }
    return std::make_unique<rig::HidRelayBoard>(*parts_.hid, name.identity);
  }
  throw rig::failed(rig::FailureKind::Other, name.text() + ": no board has this kind");
}

void Catalog::setHidId(const std::string& oldId, const std::string& newId) {
  if (!rig::hid_relay::validId(newId)) {
    throw std::invalid_argument(
        "a board ID is 1 to 5 printable ASCII characters, no blank or "
        "colon, not '" +
        newId + "'");
  }
  // find() refuses an ID no board or two boards have.
  const std::unique_ptr<rig::Board> found = find({"hid", oldId});
  if (newId != oldId) {
    for (const rig::FoundBoard& board : hidBoards()) {
      if (board.name.identity == newId) {
        throw rig::failed(
            rig::FailureKind::Ambiguous,
            "hid:" + newId + " is taken by the board at " + board.path + "; choose another ID");
      }
    }
  }
  auto& board = static_cast<rig::HidRelayBoard&>(*found);
  board.open();
  board.setId(newId);
  board.close();
}

}  // namespace boards
