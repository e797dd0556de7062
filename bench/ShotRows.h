#pragma once

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "SimProcess.h"

namespace bench {

// Shots with times of their own, run by the rig service on the simulated module: the pulse's
// error from the time asked, a series' drift from its schedule, and what the journal costs.
struct ShotFigures {
  // "relay on 1" to "relay off 1" at the module minus the pulse asked, per pulse length.
  std::vector<double> pulseErrorMs[3];
  // A series' last shot's first command at the module against the first one's plus the
  // intervals.
  std::vector<double> seriesDriftMs;
  // A flash request's submission to its query at the module, journal off and on.
  std::vector<double> reactionMs[2];
  // 0.5 s pulses' error with the journal on.
  std::vector<double> journalPulseErrorMs;
  std::vector<std::string> problems;
};

struct ShotSettings {
  int shortPulses = 20;  // of 0.05 s
  int halfPulses = 10;   // of 0.5 s
  int longPulses = 3;    // of 5 s
  int seriesShots = 100;
  double seriesInterval = 1.0;
  int reactions = 50;
};

inline constexpr double kPulseSeconds[3] = {0.05, 0.5, 5.0};

// `idle` runs the event loop for the time given.
ShotFigures measureShots(SimProcess& sim, const ShotSettings& settings,
                         const std::function<void(std::chrono::steady_clock::duration)>& idle);

}  // namespace bench
