#include "SystemClock.h"

#include <algorithm>
#include <atomic>
#include <csignal>
#include <thread>

namespace rig {

namespace {

using namespace std::chrono_literals;

// A stop request is seen within this long.
constexpr auto kSlice = 5ms;

// Written from signal handlers: must be lock-free to be safe there.
std::atomic<int> stopSignal{0};
static_assert(std::atomic<int>::is_always_lock_free);
std::atomic<SystemClock::StopHook> stopHook{nullptr};
static_assert(std::atomic<SystemClock::StopHook>::is_always_lock_free);

void onStopSignal(int signal) { SystemClock::requestStop(signal); }

}  // namespace

Clock::time_point SystemClock::now() const { return std::chrono::steady_clock::now(); }

void SystemClock::waitUntil(time_point deadline) {
  for (;;) {
    if (const int signal = stopSignal.load(); signal != 0 && stoppable_) {
      throw CutShort::bySignal(signal);
    }
    const auto left = deadline - now();
    if (left <= duration::zero()) return;
    std::this_thread::sleep_for(std::min<duration>(left, kSlice));
  }
}

void SystemClock::requestStop(int signal) noexcept {
  stopSignal.store(signal != 0 ? signal : -1);
  if (const StopHook hook = stopHook.load()) hook();
}

void SystemClock::setStopHook(StopHook hook) noexcept { stopHook.store(hook); }

int SystemClock::stopRequested() noexcept { return stopSignal.load(); }

void SystemClock::clearStop() noexcept { stopSignal.store(0); }

void SystemClock::stopOnSignals() {
  // std::signal rather than sigaction: the rig builds on systems without POSIX signals too.
  std::signal(SIGINT, onStopSignal);
  std::signal(SIGTERM, onStopSignal);
#ifdef SIGHUP
  // A hang-up (the terminal or the desktop session gone) ends the run as soundly, unless it is
  // to be ignored (nohup).
  if (std::signal(SIGHUP, onStopSignal) == SIG_IGN) std::signal(SIGHUP, SIG_IGN);
#endif
}

const char* SystemClock::signalName(int signal) {
  if (signal == SIGTERM) return "SIGTERM";
#ifdef SIGHUP
  if (signal == SIGHUP) return "SIGHUP";
#endif
  return "Ctrl-C";
}

}  // namespace rig
