#pragma once

#include <chrono>

#include "sim/RelayModule.h"

// The simulated module stamps a command when its thread reads it, which on a busy machine may be
// late by its wake-up time: a pause it sees may be that much shorter than the one on the line.
constexpr double kModuleWakeUpSeconds = 0.01;

inline double secondsBetween(const sim::Command& a, const sim::Command& b) {
  return std::chrono::duration<double>(b.at - a.at).count();
}
