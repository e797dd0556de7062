#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "Board.h"
#include "Timings.h"

namespace rig {

// One relay of one board, as a rig file names it: the board's name in the file and the relay,
// counted from 0 as the boards count them ("top:3").
struct RelayLine {
  std::string board;
  int relay = 0;

  std::string text() const { return board + ":" + std::to_string(relay); }
  bool operator==(const RelayLine&) const = default;
};

// A board the rig uses: its name in the file and which board it is. Without `board`, it is the
// module on the port the operator opens, as the panel has always done.
struct RigBoard {
  std::string name;
  std::optional<BoardName> board;
  std::optional<int> relays;  // the relays the board must have, when the file says
};

struct RigCamera {
  std::string name;
  RelayLine shutter;
  std::optional<RelayLine> focus;      // the half-press, closed ahead of the shutter
  std::chrono::milliseconds delay{0};  // this camera's shutter closes this much after the shot
};

struct RigFlash {
  std::string name;
  RelayLine line;
};

// The timings every action on the rig takes unless asked otherwise.
struct RigTimings {
  std::chrono::milliseconds focus{0};    // focus lines closed this long before the shutters
  std::chrono::milliseconds pulse{500};  // shutter lines held (bulb: up to an hour)
  std::chrono::milliseconds pause{500};  // between the sequence's steps
};

// How the actions go where a rig keeps the two-relay module's own ways, which its operators and
// scripts know to the byte. A rig file's rig keeps the defaults.
struct RigManner {
  // Step by step: a shot reads each shutter first (relay by relay) and switches on only those
  // that read off, its hold counted from that switch; an armed shot reads shortly before its time
  // and only its switching command is aimed at it; a hold or pause is one wait that a stop does
  // not cut (a stop is looked for between steps); every ending after the first command commands
  // every shutter off; failures keep the board's own words (its port and device).
  bool stepwise = false;
  // The reset switches the flashes off, waits this long, then the cameras' lines; with none, one
  // command per board switches them all.
  std::chrono::milliseconds resetPause{0};
};

// The rig described once: its boards, cameras, flashes and timings.
struct RigDescription {
  std::vector<RigBoard> boards;
  std::vector<RigCamera> cameras;
  std::vector<RigFlash> flashes;
  RigTimings timings;
  std::string file;  // the rig file's name, its folder left out; empty for a rig made otherwise
  RigManner manner;
};

// Limits a rig file is checked against, besides the pulse's and pause's (Timings.h).
inline constexpr int kMostRelays = 32;  // a relay mask's width
inline constexpr std::chrono::milliseconds kLongestFocus = std::chrono::seconds(10);
inline constexpr std::chrono::milliseconds kLongestDelay = std::chrono::seconds(10);

// The rig without a rig file: the text module on the chosen port, the flash on relay 0 and one
// camera's shutter on relay 1, the half-second pulse and pauses.
RigDescription defaultRig();
// The same rig as the panel runs it: step by step, the reset's half-second pause between the
// flash and the shutter (the module's bytes and timings exactly).
RigDescription builtInRig();

// The rig in lines a person reads: its boards, each camera's and flash's lines, the timings.
std::string describe(const RigDescription& rig);

}  // namespace rig
