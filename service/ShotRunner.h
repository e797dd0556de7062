#pragma once

#include <QString>
#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "DescribedRig.h"
#include "Requests.h"
#include "SleepClock.h"
#include "rig/Arming.h"
#include "rig/Clock.h"
#include "rig/RoleRig.h"
#include "rig/State.h"

namespace service {

// The shutter and sequence requests of the rig service: a request's shots, `interval` apart
// from start to start, how far they are for every channel to see, and a stop that ends them
// after the step in progress. Runs on the service's thread; stop() and what the state shows are
// called from any thread.
class ShotRunner {
 public:
  // `rig`: the rig in use, set before requests come. `ending`: the service is stopping (the
  // rig's waits then end the action cut short). `wakeup` ends a wait early. `report` hands the
  // changed state on; `openEngine` gives the engine whose lines a stop's words tell.
  ShotRunner(const DescribedRig& rig, const std::atomic<bool>& ending,
             std::shared_ptr<Wakeup> wakeup, std::function<void()> report,
             std::function<const rig::RoleRig*()> openEngine);

  // Runs the request's shots on `engine`; the first one armed when `arming` is given.
  Result run(const Request& request, const rig::Arming* arming, rig::RoleRig& engine,
             rig::Clock& clock);
  // Asks the running shots to stop after the step in progress; false when none runs.
  bool stop();
  // What the last stop reached: its words and how far into the shots, once each.
  std::pair<QString, std::optional<double>> takeStopWords();

  // The series running: shot `shot()` of `shots()` (0 when none), and the shots' span.
  int shot() const { return shot_; }
  int shots() const { return shots_; }
  std::optional<rig::RunningShots> progress() const;

 private:
  // From the (armed) first shot's start to the last's planned end.
  rig::RunningShots span(const Request& request, const rig::Arming* arming,
                         const rig::Timings& timings, rig::Clock::duration spacing) const;
  // One shot on `engine`: its failure, or none; a stop that cut it short marks `result` stopped.
  std::optional<rig::Failure> shoot(bool sequence, const std::vector<std::string>& cameras,
                                    const rig::Timings& timings, rig::RoleRig& engine,
                                    Result& result);
  // The answer's last words: the spacing of shots that overran, a stop's words; then cleared.
  void finish(Result& result, const rig::RunningShots& running, bool overran);
  // Waits until `deadline`, looking for a stop now and then; false when one came.
  static bool waitUnlessStopped(rig::Clock& clock, rig::Clock::time_point deadline,
                                const std::function<bool()>& stopAsked);
  void clear();
  // A bulb's or series' own words once a stop cut it short, and whether its shutters closed.
  QString stoppedShotsWords(const rig::RunningShots& running, const Result& result) const;
  // Ends the running shots as the program's end does: answered "stopped" as a whole.
  [[noreturn]] void endForTheEnd();

  const DescribedRig& rig_;
  const std::atomic<bool>& ending_;
  std::shared_ptr<Wakeup> wakeup_;
  std::function<void()> report_;
  std::function<const rig::RoleRig*()> openEngine_;
  std::atomic<int> shot_{0};
  std::atomic<int> shots_{0};
  // The shots running, for every channel's state and a stop's words (read from any thread).
  mutable std::mutex progressLock_;
  std::optional<rig::RunningShots> progress_;
  QString stopWords_;
  std::optional<double> stoppedAfter_;
  // The shutter or sequence request running, by a number of its own (0: none), and the one a
  // stop was asked for: a stop never reaches a request that starts after it.
  std::atomic<quint64> running_{0};
  std::atomic<quint64> stopAsked_{0};
  quint64 requests_ = 0;
};

}  // namespace service
