#pragma once

#include <chrono>
#include <functional>
#include <string>
#include <vector>

namespace bench {

// What a rig of 16 cameras costs its views: a rig file's rig on two simulated USB HID boards of
// 8 relays, run by the rig service as the panel runs it, with the rig window shown (offscreen)
// and the phone remote on 127.0.0.1 with a connected page.
struct ViewFigures {
  // A change of a camera's lines told by the rig service to the rig window's next repaint.
  std::vector<double> repaintMs;
  // A state change told by the rig service to its event's arrival at the connected page.
  std::vector<double> pushMs;
  // % of one core over 10 s on the window's thread, the rig open and nothing running, the cursor
  // at rest (the rig service's own thread, which looks at the boards between jobs, not counted).
  std::vector<double> idleCpu;
  std::vector<std::string> problems;
};

// `shots` shots of every camera; `cpuSamples` idle measurements. `idle` runs the event loop for
// the time given.
ViewFigures measureViews(int shots, int cpuSamples,
                         const std::function<void(std::chrono::steady_clock::duration)>& idle);

}  // namespace bench
