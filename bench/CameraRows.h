#pragma once

#include <chrono>
#include <string>
#include <vector>

namespace bench {

// Rigs of many cameras as a photographer runs them: a rig file naming its boards by kind and
// identity, found through the catalog and run by the rig service, against simulated boards of
// every kind: 8 cameras fired together on one board, 16 on two boards, armed shots of 8 cameras
// at one moment, and armed shots of cameras with a focus lead and delays of their own. Then a
// board of each kind unplugged and put back, to its reset.
struct CameraSettings {
  int rounds = 20;     // shots per measurement of shutters landing together
  int armedShots = 5;  // armed shots per board kind
  int putBack = 3;     // boards unplugged and put back per kind
};

// The focus lead of the rigs that measure it, and the step between their cameras' delays.
inline constexpr std::chrono::milliseconds kCameraFocusLead{100};
inline constexpr std::chrono::milliseconds kCameraDelayStep{100};

// Samples taken on one kind of board (or a pair of boards), in ms.
struct CameraSamples {
  std::string boards;  // "Modbus RTU, 8 coils"
  std::vector<double> ms;
  // The board switches several relays with one command; without one, lines meant for one moment
  // land one command after another from that moment on.
  bool oneCommand = true;
};

// 8 cameras' shutters on one board, one shot: the first landing to the last; the board switches
// them with one command where it has one (`oneCommand`).
struct OneBoardCameras {
  std::string boards;
  bool oneCommand = false;
  std::vector<double> shotMs;
};

struct CameraFigures {
  std::vector<OneBoardCameras> oneBoard;
  // 16 cameras on two boards, one shot: the first shutter's landing to the last, across both.
  std::vector<CameraSamples> twoBoards;
  // 8 cameras armed for one moment: each shutter's landing, less the armed time.
  std::vector<CameraSamples> armedTogetherError;
  // 4 cameras armed with a focus lead and delays: each focus line's landing less its moment (the
  // armed time less the lead), and each shutter's less the armed time plus its camera's delay.
  std::vector<CameraSamples> focusError;
  std::vector<CameraSamples> delayError;
  // A board unplugged and put back: from its return to the first relay its reset switches off.
  std::vector<CameraSamples> putBackMs;
  std::vector<std::string> problems;
};

class SimProcess;

// `wideText`: a simulated text module of 8 relays, which switches several with one command,
// answering "id get" with `wideTextId`.
CameraFigures measureCameras(SimProcess& wideText, const std::string& wideTextId,
                             const CameraSettings& settings);

}  // namespace bench
