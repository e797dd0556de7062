#pragma once

#include <string>
#include <vector>

#include "SimProcess.h"

namespace bench {

// The relay boards of every kind side by side, each as a photographer drives it: a rig file
// naming the board by kind and identity (a flash on its relay 0, a camera's shutter on relay 1),
// its board found through the catalog and run by the rig service, against its simulated board:
// the text module (two relays and eight) paced at 9600 baud in a process of its own, the CH340
// board paced, the Modbus RTU board (Qt's RTU server) over a paced terminal link, and the USB HID
// board behind the HID seam in this process. Whether a board puts 8 lines on with one command is
// the camera rows' shot of 8 cameras on one board.
struct BoardSettings {
  int requests = 50;  // single flash requests per kind
  int rounds = 20;    // rounds of kInARow flash requests queued at once
};

// Flash requests queued at once in a round.
inline constexpr int kInARow = 8;

struct BoardKindFigures {
  std::string label;  // "CH340, 8 relays"
  // A flash request's commands and answers on the wire, one after another, at 9600 baud (the
  // reading of the flash's line where the board is read, then its switch); 0 for the HID board.
  double wireMs = 0;
  std::string wireWords;  // what `wireMs` counts: "one frame"
  // The silence the line keeps before each request of the board (Modbus RTU's client), and how
  // many a flash request has.
  double frameGapMs = 0;
  int frames = 0;
  // From the flash request given to the rig service to the board's receipt of its switch.
  std::vector<double> flashMs;
  // kInARow flash requests queued at once: the first switch's landing to the last's.
  std::vector<double> inARowMs;
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
