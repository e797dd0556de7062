#pragma once

#include <optional>

// A part a test program plays as a child process of its own tests: started with "FLAG ARGUMENT",
// the program runs the role on ARGUMENT and exits with its result instead of running the tests.
class ChildRole {
 public:
  using Run = int (*)(const char* argument);
  ChildRole(const char* flag, Run run);

  // The result of the role the command line names; nothing when the program runs its tests.
  static std::optional<int> play(int argc, char** argv);
};
