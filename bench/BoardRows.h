#pragma once

#include <string>
#include <vector>

#include "SimProcess.h"

namespace bench {

// The relay boards of every kind side by side, each through its own driver (rig::Board) as the
// catalog hands it out for the name a rig file gives it, against its simulated board: the text
// module (two relays and eight) paced at 9600 baud in a process of its own, the CH340 board paced,
// the Modbus RTU board (Qt's RTU server) over a paced terminal link, and the USB HID board behind
// the HID seam in this process.
struct BoardSettings {
  int switches = 50;  // single switches per kind
  int groups = 20;    // rounds of 8 relays on, one command each and all at once
};

struct BoardKindFigures {
  std::string label;        // "CH340, 8 relays"
  double switchWireMs = 0;  // one switch command's bytes at 9600 baud; 0 for the HID board
  double frameGapMs = 0;    // the silence the line keeps before a command (Modbus RTU's client)
  bool groupsInOneCommand = false;  // the board switches several relays with one command
  // From the switchRelay call to the board's receipt of the command.
  std::vector<double> switchMs;
  // 8 relays switched on, the first relay's landing to the last's: 8 switchRelay calls, and one
  // switchRelays call. Empty for a board with fewer relays.
  std::vector<double> oneByOneMs;
  std::vector<double> allAtOnceMs;
};

struct BoardFigures {
  std::vector<BoardKindFigures> kinds;
  std::vector<std::string> problems;
};

// `text` is a paced two-relay module, `wideText` a paced eight-relay one answering "id get" with
// `wideTextId`.
BoardFigures measureBoards(SimProcess& text, SimProcess& wideText, const std::string& wideTextId,
                           const BoardSettings& settings);

}  // namespace bench
