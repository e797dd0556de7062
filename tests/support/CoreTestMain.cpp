#include <gtest/gtest.h>

#include <QCoreApplication>
#include <map>
#include <string>

#include "ChildRole.h"

namespace {

// Held in a function so roles registered during static initialisation find it built.
std::map<std::string, ChildRole::Run>& roles() {
  static std::map<std::string, ChildRole::Run> registered;
  return registered;
}

}  // namespace

ChildRole::ChildRole(const char* flag, Run run) { roles()[flag] = run; }

std::optional<int> ChildRole::play(int argc, char** argv) {
  if (argc != 3) return std::nullopt;
  const auto role = roles().find(argv[1]);
  if (role == roles().end()) return std::nullopt;
  return role->second(argv[2]);
}

// The main of the test programs on the Qt event loop without windows: the serial control, the
// rig service and the bridge need an application object for their signals and queued answers.
int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  if (const auto result = ChildRole::play(argc, argv)) return *result;
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
