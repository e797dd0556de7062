#pragma once

#include <gtest/gtest.h>

#include <functional>

#include "rig/SerialControl.h"

// The SerialError `action` throws; a test failure when it throws none.
inline rig::SerialError errorFrom(const std::function<void()>& action) {
  try {
    action();
  } catch (const rig::SerialError& error) {
    return error;
  }
  ADD_FAILURE() << "expected a rig::SerialError";
  return {0, "", ""};
}
