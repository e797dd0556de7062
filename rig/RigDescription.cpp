#include "RigDescription.h"

#include <sstream>

#include "Protocol.h"

namespace rig {

RigDescription defaultRig() {
  RigDescription rig;
  rig.boards.push_back({"module", std::nullopt, 2});
  rig.cameras.push_back({"camera", {"module", protocol::kShutterRelay}, std::nullopt, {}});
  rig.flashes.push_back({"flash", {"module", protocol::kFlashRelay}});
  return rig;
}

RigDescription builtInRig() {
  RigDescription rig = defaultRig();
  rig.manner.stepwise = true;
  rig.manner.resetPause = std::chrono::milliseconds(500);
  return rig;
}

std::string describe(const RigDescription& rig) {
  const auto count = [](std::size_t n, const char* one, const char* many) {
    return std::to_string(n) + " " + (n == 1 ? one : many);
  };
  std::ostringstream out;
  out << count(rig.boards.size(), "board", "boards") << ", "
      << count(rig.cameras.size(), "camera", "cameras") << ", "
      << count(rig.flashes.size(), "flash", "flashes") << '\n';
  for (const RigBoard& board : rig.boards) {
    out << "board " << board.name << ": "
        << (board.board ? board.board->text() : std::string("the module on the opened port"));
    if (board.relays) out << " (" << *board.relays << " relays)";
    out << '\n';
  }
  for (const RigCamera& camera : rig.cameras) {
    out << "camera " << camera.name << ": shutter " << camera.shutter.text();
    if (camera.focus) out << ", focus " << camera.focus->text();
    if (camera.delay.count() != 0) out << ", delay " << camera.delay.count() << " ms";
    out << '\n';
  }
  for (const RigFlash& flash : rig.flashes)
    out << "flash " << flash.name << ": " << flash.line.text() << '\n';
  out << "timings: focus " << rig.timings.focus.count() << " ms, pulse "
      << rig.timings.pulse.count() << " ms, pause " << rig.timings.pause.count() << " ms\n";
  return out.str();
}

}  // namespace rig
