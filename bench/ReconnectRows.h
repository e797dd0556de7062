#pragma once

#include <string>
#include <vector>

namespace bench {

// Unplugging and replugging a module behind a --ports link, on the real panel: how soon the
// loss shows, how soon a returning module is reset, and what the panel costs while it waits.
struct ReconnectSamples {
  std::vector<double> lostMs;       // the terminal closed to "Port Lost" in the status box
  std::vector<double> backMs;       // the link back to the first "relay off 0" at the module
  std::vector<double> idleCpu;      // % of one core over 10 s while waiting for the module
  std::vector<double> idleCpuOpen;  // the same with the port open and nothing watched
  std::vector<std::string> problems;
};

// `cycles` losses and returns, the idle CPU measured during the first `cpuSamples` waits.
ReconnectSamples measureReconnects(int cycles, int cpuSamples);

}  // namespace bench
