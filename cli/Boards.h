#pragma once

#include <QJsonArray>
#include <QString>
#include <optional>
#include <string>
#include <vector>

#include "Options.h"
#include "rig/Board.h"

namespace cli {

// One board as a line for people: its name, its relays, what it can do, where it is.
// "text-id:RIG08  8 relays  read-back, all-at-once  /dev/serial/by-id/usb-FTDI-if00-port0";
// `nameWidth` pads the name so that the columns line up.
std::string boardLine(const rig::FoundBoard& board, std::size_t nameWidth = 0);
// The boards for scripts: one object each, {"kind", "identity", "name", "relays",
// "abilities": {"readBack", "allAtOnce", "settableId"}, "path"}.
QJsonArray boardsJson(const std::vector<rig::FoundBoard>& boards);

// quillmar-cli boards [--board NAME] [--json], and boards --set-id OLD NEW.
int runBoards(const Options& options, const std::optional<QString>& ports);

}  // namespace cli
