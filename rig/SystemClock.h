#pragma once

#include "Clock.h"
#include "Failure.h"

namespace rig {

// Steady time and plain sleeping, for programs without an event loop. Waits sleep in short
// slices and throw CutShort (Why::Signal, with the stop's signal) within one slice of a stop
// request (Ctrl-C, a termination request).
//
// The stop request is process-wide, like the signals that make it.
class SystemClock : public Clock {
 public:
  // `stoppable` false: the waits never end early, for a board's own short waits for its replies,
  // so that an ending after a stop request can still switch its lines off.
  explicit SystemClock(bool stoppable = true) : stoppable_(stoppable) {}
  time_point now() const override;
  // Throws CutShort when a stop has been requested, before or during the wait.
  void waitUntil(time_point deadline) override;

  // Asks every wait, running or to come, to throw CutShort. Async-signal-safe.
  static void requestStop(int signal) noexcept;
  // The signal of the pending stop request (or -1 for one made without a signal); 0 when none.
  static int stopRequested() noexcept;
  // Called after each stop request, also from a signal handler, so it must be async-signal-safe
  // (a byte written to a pipe that an event loop watches). Null for none.
  using StopHook = void (*)() noexcept;
  static void setStopHook(StopHook hook) noexcept;
  // Forgets the stop request, so waits wait again.
  static void clearStop() noexcept;
  // Makes SIGINT, SIGTERM and SIGHUP request a stop instead of ending the process.
  static void stopOnSignals();
  // How the command line names a stop's signal: "SIGTERM", "SIGHUP", else "Ctrl-C".
  static const char* signalName(int signal);

 private:
  bool stoppable_;
};

}  // namespace rig
