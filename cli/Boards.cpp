#include "Boards.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <algorithm>
#include <iostream>
#include <stdexcept>

#include "Remote.h"
#include "boards/Catalog.h"
#include "rig/SystemClock.h"
#include "rig/TextDiscovery.h"

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
  std::string name = board.name.text();
  if (name.size() < nameWidth) name.resize(nameWidth, ' ');
  const std::string relays =
      board.relays > 0 ? std::to_string(board.relays) + (board.relays == 1 ? " relay" : " relays")
                       : "? relays";
  return name + "  " + relays + "  " + abilitiesText(board.abilities) + "  " + board.path;
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
  }
  return array;
}

int runBoards(const Options& options, const std::optional<QString>& ports) {
  boards::Catalog::Parts parts = boards::Catalog::systemParts(ports);
  const std::optional<rig::BoardName> named =
      options.board ? rig::parseBoardName(*options.board) : std::nullopt;
  // A Modbus line cannot be searched: a Modbus board is looked for only when it is named.
  if (named && named->kind == "modbus") parts.modbus.push_back(*named);
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

  std::vector<rig::FoundBoard> found;
  try {
    found = catalog.list();
  } catch (const rig::SerialError& error) {
    return failed("cannot list the boards", error);
  } catch (const rig::CutShort& stop) {
    // Ctrl-C while a port was asked "id get": the ports are closed on the way out.
    complain(std::string("boards stopped by ") + rig::SystemClock::signalName(stop.signal));
    return rig::exitStatus({.cutShort = stop});
  }
  if (named) {
    std::erase_if(found, [&named](const rig::FoundBoard& b) { return !isNamed(b, *named); });
  }
  if (options.json) {
    std::cout << QJsonDocument(boardsJson(found)).toJson(QJsonDocument::Compact).toStdString()
              << std::endl;
  } else {
    std::size_t width = 0;
    for (const auto& board : found) width = std::max(width, board.name.text().size());
    for (const auto& board : found) std::cout << boardLine(board, width) << '\n';
    std::cout.flush();
  }
  if (named && found.empty()) {
    complain("no board is " + named->text());
    return rig::exitStatus({.failure = rig::FailureKind::NoDevice});
  }
  if (found.empty() && !options.json) complain("no relay board found");
  return 0;
}

}  // namespace cli
