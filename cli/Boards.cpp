#include "Boards.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <algorithm>
#include <iostream>
#include <stdexcept>

#include "Remote.h"
#include "boards/Catalog.h"
#include "boards/text/TextDiscovery.h"
#include "rig/Protocol.h"
#include "rig/SystemClock.h"
#include "serial/CommControl.h"

namespace cli {

namespace {

std::string abilitiesText(const rig::BoardAbilities& abilities) {
  std::string text;
  const auto add = [&text](bool has, const char* word) {
    if (!has) return;
    if (!text.empty()) text += ", ";
    text += word;
  };
  add(abilities.readBack, "read-back");
  add(abilities.switchMany, "all-at-once");
  add(abilities.settableId, "settable-id");
  return text.empty() ? "-" : text;
}

// Whether the listed board is the one `name` names: by its name, or a path's board by its device.
bool isNamed(const rig::FoundBoard& board, const rig::BoardName& name) {
  if (board.name == name) return true;
  const bool byPath = name.kind == "text" || name.kind == "ch340";
  return byPath && rig::sameDevice(board.path, name.identity);
}

int failed(const std::string& what, const rig::SerialError& error) {
  complain(what + ": " + error.what());
  return rig::exitStatus({.failure = error.kind()});
}

}  // namespace

std::string boardLine(const rig::FoundBoard& board, std::size_t nameWidth) {
  // A module's identity is its own text: shown escaped, never as control characters.
  std::string name = rig::protocol::escaped(board.name.text());
  if (name.size() < nameWidth) name.resize(nameWidth, ' ');
  const std::string relays =
      board.relays > 0 ? std::to_string(board.relays) + (board.relays == 1 ? " relay" : " relays")
                       : "? relays";
  std::string line =
      name + "  " + relays + "  " + abilitiesText(board.abilities) + "  " + board.path;
  if (!board.problem.empty()) line += "  (no name: use text:" + board.path + ")";
  return line;
}

QJsonArray boardsJson(const std::vector<rig::FoundBoard>& boards) {
  QJsonArray array;
  for (const rig::FoundBoard& board : boards) {
    array.append(QJsonObject{
        {QStringLiteral("kind"), QString::fromStdString(board.name.kind)},
        {QStringLiteral("identity"), QString::fromStdString(board.name.identity)},
        {QStringLiteral("name"), QString::fromStdString(board.name.text())},
        {QStringLiteral("relays"), board.relays},
        {QStringLiteral("abilities"),
         QJsonObject{{QStringLiteral("readBack"), board.abilities.readBack},
                     {QStringLiteral("allAtOnce"), board.abilities.switchMany},
                     {QStringLiteral("settableId"), board.abilities.settableId}}},
        {QStringLiteral("path"), QString::fromStdString(board.path)},
    });
    if (!board.problem.empty()) {
      QJsonObject listed = array.last().toObject();
      listed.insert(QStringLiteral("problem"), QString::fromStdString(board.problem));
      array.replace(array.size() - 1, listed);
    }
  }
  return array;
}

int runBoards(const Options& options, const std::optional<QString>& ports) {
  boards::Catalog::Parts parts = boards::Catalog::systemParts(ports);
  const std::optional<rig::BoardName> named =
      options.board ? rig::parseBoardName(*options.board) : std::nullopt;
  // A Modbus line cannot be searched: a Modbus board is looked for only when it is named.
  if (named && named->kind == "modbus") parts.modbus.push_back(*named);
  const auto listPorts = parts.ports;
  boards::Catalog catalog(std::move(parts));

  if (options.setId) {
    try {
      catalog.setHidId(options.oldId, options.newId);
    } catch (const std::invalid_argument& error) {
      complain(error.what());
      return kExitUsage;
    } catch (const rig::SerialError& error) {
      return failed("cannot set the ID", error);
    }
    std::cout << "hid:" << options.oldId << " is now hid:" << options.newId << std::endl;
    return 0;
  }

  rig::Listing listing;
  try {
    listing = catalog.list();
  } catch (const rig::SerialError& error) {
    return failed("cannot list the boards", error);
  } catch (const rig::CutShort& stop) {
    // Ctrl-C while a port was asked "id get": the ports are closed on the way out.
    complain(std::string("boards stopped by ") + rig::SystemClock::signalName(stop.signal));
    return rig::exitStatus({.cutShort = stop});
  }
  std::vector<rig::FoundBoard>& found = listing.boards;
  if (named) {
    std::erase_if(found, [&named](const rig::FoundBoard& b) { return !isNamed(b, *named); });
  }
  if (options.json) {
    std::cout << QJsonDocument(boardsJson(found)).toJson(QJsonDocument::Compact).toStdString()
              << std::endl;
  } else {
    std::size_t width = 0;
    for (const auto& board : found) {
      width = std::max(width, rig::protocol::escaped(board.name.text()).size());
    }
    for (const auto& board : found) std::cout << boardLine(board, width) << '\n';
    std::cout.flush();
  }
  // A port another program holds cannot be asked: said, with the holder, rather than left out.
  // Named by a path, that device; by an identity, the ports that would have been asked; listing
  // all the system's, also a device no list names (a pseudo-terminal a panel was given by
  // --ports); listing the ports given by --ports, those alone.
  std::vector<std::pair<std::string, std::string>> held;
  const auto tell = [&](const std::string& path, const std::optional<QString>& holder) {
    if (!holder) return;
    const auto same = [&path](const std::string& other) { return rig::sameDevice(other, path); };
    if (std::any_of(found.begin(), found.end(), [&](const auto& b) { return same(b.path); }) ||
        std::any_of(held.begin(), held.end(), [&](const auto& h) { return same(h.first); })) {
      return;
    }
    held.emplace_back(path, holder->toStdString());
  };
  const bool byPath = named && (named->kind == "text" || named->kind == "ch340");
  if (byPath) {
    tell(named->identity, serial::CommControl::holderOf(QString::fromStdString(named->identity)));
  } else if (listPorts) {
    for (const boards::SerialPort& port : listPorts()) {
      tell(port.namePath(), serial::CommControl::holderOf(QString::fromStdString(port.path)));
    }
  }
  if (!named && !ports) {
    for (const auto& [device, holder] : serial::CommControl::heldDevices())
      tell(device.toStdString(), holder);
  }
  for (const rig::FoundBoard& board : found) {
    if (board.problem.empty()) continue;
    complain(rig::protocol::escaped(board.name.text()) + " on " + board.path +
             " cannot be named by its identity: " + board.problem);
  }
  if (!named) {
    for (const rig::PassedOver& port : listing.passedOver)
      complain(port.path + " passed over: " + port.why);
  }
  for (const auto& [path, holder] : held) {
    std::string words = path;
    words += " is held by " + holder;
    words += ": a board there cannot be asked while that program has it open";
    complain(words);
  }
  if (named && found.empty()) {
    complain("no board is " + named->text());
    return rig::exitStatus(
        {.failure = held.empty() ? rig::FailureKind::NoDevice : rig::FailureKind::Busy});
  }
  if (found.empty() && held.empty() && listing.passedOver.empty() && !options.json) {
    complain("no relay board found");
  }
  return 0;
}

}  // namespace cli
