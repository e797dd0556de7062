#pragma once

#include <chrono>
#include <string>
#include <vector>

namespace bench {

// Rigs of many cameras, through the rig engine (rig::RoleRig) on the system's clock, against
// simulated boards: 8 cameras fired together on one board, 16 on two boards, the focus lines'
// lead ahead of the shutters, and armed shots: 8 cameras at one moment, and 8 whose cameras each
// have a delay of their own.
struct CameraSettings {
  int rounds = 20;     // shots per measurement of shutters landing together
  int armedShots = 5;  // armed shots per board kind, 8 cameras each
};

// The focus lead of the rig that measures it, and the step between the armed cameras' delays.
inline constexpr std::chrono::milliseconds kCameraFocusLead{100};
inline constexpr std::chrono::milliseconds kCameraDelayStep{100};

// Samples taken on one kind of board (or a pair of boards), in ms.
struct CameraSamples {
  std::string boards;  // "Modbus RTU, 8 coils"
  std::vector<double> ms;
};

// 8 cameras' shutters on one board, the first landing to the last: 8 switchRelay calls on the
// board, and one shot through the rig, which switches them with one command where the board
// has one (`oneCommand`).
struct OneBoardCameras {
  std::string boards;
  bool oneCommand = false;
  std::vector<double> oneByOneMs;
  std::vector<double> shotMs;
};

struct CameraFigures {
  std::vector<OneBoardCameras> oneBoard;
  // 16 cameras on two boards, one shot: the first shutter's landing to the last, across both.
  std::vector<CameraSamples> twoBoards;
  // The focus lines' landing to the shutters' landing, less the rig's focus lead.
  std::vector<CameraSamples> focusError;
  // Each camera's shutter landing, less the armed time plus its camera's delay.
  std::vector<CameraSamples> armedError;
  // 8 cameras armed for one moment: each shutter's landing, less the armed time.
  std::vector<CameraSamples> armedTogetherError;
  std::vector<std::string> problems;
};

class SimProcess;

// `wideText`: a simulated text module of 8 relays, which switches several with one command.
CameraFigures measureCameras(SimProcess& wideText, const CameraSettings& settings);

}  // namespace bench
