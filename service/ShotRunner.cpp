#include "ShotRunner.h"

#include <algorithm>
#include <chrono>
#include <exception>
#include <string>
#include <vector>

#include "rig/Timings.h"

namespace service {

namespace {

// The cameras a request names, none for every camera.
std::vector<std::string> cameraNames(const Request& request) {
  std::vector<std::string> names;
  for (const QString& name : request.cameras) names.push_back(name.toStdString());
  return names;
}

// A failed shot ends the series: the module is not to be trusted with the next one. The
// answer is the failure's, with the shots before it.
void failShot(Action action, const rig::Failure& failure, ShotRecord& record, Result& result) {
  record.ok = false;
  record.kind = failure.kind;
  std::vector<ShotRecord> done = std::move(result.shots);
  result = failed(action, failure);
  result.shots = std::move(done);
}

// An armed shot's answer carries how late it reached each board.
void noteLateness(const rig::RoleRig& engine, Result& result) {
  for (const rig::RoleRig::BoardLateness& board : engine.armedLateness()) {
    result.boardShots.push_back(
        {QString::fromStdString(board.board), std::chrono::duration<double>(board.late).count()});
  }
}

}  // namespace

ShotRunner::ShotRunner(const DescribedRig& rig, const std::atomic<bool>& ending,
                       std::shared_ptr<Wakeup> wakeup, std::function<void()> report,
                       std::function<const rig::RoleRig*()> openEngine)
    : rig_(rig),
      ending_(ending),
      wakeup_(std::move(wakeup)),
      report_(std::move(report)),
      openEngine_(std::move(openEngine)) {}

bool ShotRunner::stop() {
  const quint64 running = running_;
  if (running == 0) return false;
  {
    // The words of what the stop reaches are made before the shots can end.
    const std::lock_guard lock(progressLock_);
    if (progress_) {
      // Before the shutters opened (a focus lead) it is 0 s in.
      const double gone = std::max(
          0.0, std::chrono::duration<double>(std::chrono::system_clock::now() - progress_->since)
                   .count());
      // A timeline's holds end at once; a pulse run step by step (the module's) to its end.
      const bool released = !rig_.description().manner.stepwise;
      stoppedAfter_ = released ? std::optional(gone) : std::nullopt;
      stopWords_ = service::stopWords(*progress_, gone, released, shot_, shots_);
    }
  }
  stopAsked_ = running;
  wakeup_->wake();
  return true;
}

std::pair<QString, std::optional<double>> ShotRunner::takeStopWords() {
  const std::lock_guard lock(progressLock_);
  return {std::exchange(stopWords_, {}), std::exchange(stoppedAfter_, std::nullopt)};
}

std::optional<rig::RunningShots> ShotRunner::progress() const {
  const std::lock_guard lock(progressLock_);
  return progress_;
}

rig::RunningShots ShotRunner::span(const Request& request, const rig::Arming* arming,
                                   const rig::Timings& timings,
                                   rig::Clock::duration spacing) const {
  const bool sequence = request.action == Action::Sequence;
  const std::vector<std::string> cameras = cameraNames(request);
  // The shutters open after the focus lead of a camera that has a focus line (an armed shot's
  // time is its shutters' own).
  std::chrono::milliseconds lead{0};
  for (const rig::RigCamera& camera : rig_.description().cameras) {
    const bool fired =
        cameras.empty() || std::find(cameras.begin(), cameras.end(), camera.name) != cameras.end();
    if (fired && camera.focus) lead = rig_.description().timings.focus;
  }
  const auto since = arming != nullptr ? arming->at : std::chrono::system_clock::now() + lead;
  const auto length = (request.times.shots() - 1) * spacing + rig::shotLength(sequence, timings);
  using Real = std::chrono::system_clock::duration;
  return rig::RunningShots{sequence ? rig::Shots::Sequence : rig::Shots::Shutter, since,
                           since + std::chrono::duration_cast<Real>(length),
                           std::chrono::duration_cast<Real>(timings.pulse)};
}

Result ShotRunner::run(const Request& request, const rig::Arming* arming, rig::RoleRig& engine,
                       rig::Clock& clock) {
  const bool sequence = request.action == Action::Sequence;
  const ShotTimes& times = request.times;
  const quint64 number = ++requests_;
  running_ = number;
  // A series also ends after its step when it is cancelled (a disarm, its client's withdrawal).
  const bool series = times.shots() > 1;
  const std::function<bool()> stopAsked = [this, number, series, ticket = request.ticket] {
    return stopAsked_ == number || (series && ticket && ticket->cancelled());
  };
  // The rig's own pulse and pause unless the request gives its own.
  const rig::Timings base = engine.timings();
  rig::Timings timings = times.timings(base);
  timings.stopRequested = stopAsked;
  const auto spacing = times.spacing(sequence, base);
  const std::vector<std::string> cameras = cameraNames(request);
  const int shots = times.shots();
  // A series armed for its first shot counts its interval from that shot's time.
  auto start = clock.now();
  if (arming != nullptr) {
    start += std::chrono::duration_cast<rig::Clock::duration>(arming->at -
                                                              std::chrono::system_clock::now());
  }
  // Every channel shows how far the shots are.
  const rig::RunningShots running = span(request, arming, timings, spacing);
  {
    const std::lock_guard lock(progressLock_);
    progress_ = running;
  }
  report_();

  Result result;
  bool overran = false;  // a shot ended after the next one's time
  for (int n = 1; n <= shots; ++n) {
    if (n > 1 && !waitUnlessStopped(clock, start + (n - 1) * spacing, stopAsked)) {
      if (ending_) endForTheEnd();
      result.stopped = true;
      break;
    }
    if (times.repeat) {
      shot_ = n;
      shots_ = shots;
      report_();
    }
    ShotRecord record{n, std::max(0.0, std::chrono::duration<double>(clock.now() - start).count())};
    if (n == 1 && arming != nullptr) timings.armed = *arming;
    if (n == 2) timings.armed.reset();
    const std::optional<rig::Failure> failure = shoot(sequence, cameras, timings, engine, result);
    if (failure) {
      failShot(request.action, *failure, record, result);
    } else if (n == 1 && arming != nullptr) {
      noteLateness(engine, result);
    }
    if (times.repeat) result.shots.push_back(record);
    if (failure || result.stopped) break;
    overran = overran || (n < shots && clock.now() > start + n * spacing);
  }
  finish(result, running, overran);
  return result;
}

std::optional<rig::Failure> ShotRunner::shoot(bool sequence,
                                              const std::vector<std::string>& cameras,
                                              const rig::Timings& timings, rig::RoleRig& engine,
                                              Result& result) {
  try {
    if (sequence) {
      engine.sequence(timings);
    } else {
      engine.shutter(cameras, timings);
    }
  } catch (const rig::CutShort& cut) {
    // The program is ending: the whole request is answered as stopped. The end also asks the
    // running shots to stop, and the rig may see that first, between two steps.
    if (cut.why != rig::CutShort::Why::StopAsked) {
      clear();
      throw;
    }
    if (ending_) endForTheEnd();
    result.stopped = true;
  } catch (...) {  // keeps alive: the series, which ends on a failed shot with its answer
    return rig::failureOf(std::current_exception());
  }
  return std::nullopt;
}

void ShotRunner::finish(Result& result, const rig::RunningShots& running, bool overran) {
  // Shots that overran an interval shorter than a shot on the line: the answer says how far
  // apart they really were.
  for (std::size_t i = 1; overran && i < result.shots.size(); ++i) {
    const double apart = result.shots[i].seconds - result.shots[i - 1].seconds;
    result.spacing = std::max(result.spacing.value_or(0), apart);
  }
  if (result.ok && result.stopped) {
    result.message = stoppedShotsWords(running, result);
    result.stoppedAfter = std::max(
        0.0,
        std::chrono::duration<double>(std::chrono::system_clock::now() - running.since).count());
  }
  clear();
}

void ShotRunner::clear() {
  running_ = 0;
  shot_ = 0;
  shots_ = 0;
  const std::lock_guard lock(progressLock_);
  progress_.reset();
}

QString ShotRunner::stoppedShotsWords(const rig::RunningShots& running,
                                      const Result& result) const {
  const double gone =
      std::chrono::duration<double>(std::chrono::system_clock::now() - running.since).count();
  // Closed only as the lines were last commanded or read back: unknown is not closed.
  std::vector<std::string> notClosed;
  if (const rig::RoleRig* const engine = openEngine_()) {
    const std::vector<rig::CameraLines>& cameras = engine->state().cameras;
    for (std::size_t i = 0; i < cameras.size(); ++i) {
      if (cameras[i].shutter != rig::LineState::Off) notClosed.push_back(rig_.cameraWords(i));
    }
  }
  return service::stoppedWords(running, gone, static_cast<int>(result.shots.size()), notClosed);
}

void ShotRunner::endForTheEnd() {
  clear();
  throw rig::CutShort{rig::CutShort::Why::ServiceStopping};
}

bool ShotRunner::waitUnlessStopped(rig::Clock& clock, rig::Clock::time_point deadline,
                                   const std::function<bool()>& stopAsked) {
  // A stop, a disarm or a withdrawal wakes the wait.
  while (clock.now() < deadline) {
    if (stopAsked()) return false;
    clock.waitUntilWoken(deadline);
  }
  return !stopAsked();
}

}  // namespace service
