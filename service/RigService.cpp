#include "RigService.h"

#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <QEvent>
#include <QMetaObject>
#include <QMetaType>
#include <QMutex>
#include <QPointer>
#include <QSemaphore>
#include <QThread>
#include <QTimer>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <deque>
#include <exception>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "JobThread.h"
#include "LineRecorder.h"
#include "NamedBoard.h"
#include "SleepClock.h"
#include "boards/text/Rig.h"
#include "boards/text/TextDiscovery.h"
#include "rig/Arming.h"
#include "rig/OpenedBoards.h"
#include "rig/Protocol.h"
#include "rig/Reconnector.h"
#include "rig/RoleRig.h"
#include "rig/SystemClock.h"
#include "rig/Timings.h"

namespace service {

namespace {

// What every channel sees alike: the hidden boxes' replies alone are no change of the state.
bool sameState(const State& a, const State& b) {
  return a.port == b.port && a.device == b.device && a.open == b.open && a.busy == b.busy &&
         a.status == b.status && a.statusTip == b.statusTip && a.flash == b.flash &&
         a.shutter == b.shutter && a.armedAt == b.armedAt && a.roles == b.roles &&
         a.boards == b.boards && a.rig.running == b.rig.running;
}

}  // namespace

// The service's thread (a JobThread named "rig"). It makes the serial control and the rig when
// it starts and destroys them before it ends, so they live and die on it. It takes its jobs
// (requests and the like) in order, and between jobs it handles the thread's events, where the
// serial control hears of a lost device. A job runs between two rounds of the event loop, never
// inside one: a round's readiness of the port, seen before a job read the port empty, would
// otherwise be acted on after it, and an empty read taken for a hang-up.
class RigService::Worker {
 public:
  // `owner`'s signals are emitted on this thread; `publish` is given each changed state, on
  // the owner's thread; `armed` learns when a request no longer keeps the rig.
  Worker(RigService& owner, std::function<void(const State&)> publish, ArmedWindows& armed,
         SerialFactory makeSerial, ClockFactory makeClock)
      : owner_(owner),
        publish_(std::move(publish)),
        armed_(armed),
        makeSerial_(std::move(makeSerial)),
        makeClock_(std::move(makeClock)) {}

  // Starts the thread and returns once it takes requests.
  void begin() {
    thread_.start([this] { run(); });
  }

  // Lets the running job end (a series after its step in progress), drops the queued ones, and
  // ends the thread.
  void end() {
    stopShots();
    thread_.end(JobThread::Queued::Left);
  }

  // Runs `job` on this thread after everything queued before it. A request's job comes with
  // `drop`, which answers it "not run" when the service stops before it starts.
  void post(std::function<void()> job, std::function<void()> drop = nullptr) {
    thread_.post(std::move(job), std::move(drop));
  }
  // Cuts the running request short at its next wait and answers the queued ones "not run".
  void stopRequests() {
    // The queue is emptied before the running request is woken: woken at once, it must find
    // nothing more to start.
    const std::vector<JobThread::Job> dropped = thread_.dropQueued();
    stop_ = true;
    wakeup_->wake();
    for (const auto& drop : dropped) drop();
  }
  // The same, and waits for it to have run.
  void postAndWait(const std::function<void()>& job) { thread_.call(job); }
  // Calls `then` on `context`'s thread once everything queued before has run.
  void afterQueued(QObject* context, std::function<void()> then) {
    thread_.ask([] {}, context, std::move(then));
  }

  // `arming`: the request's (first) shot is armed.
  void handle(const Request& request, const Done& done, const QPointer<QObject>& replyTo,
              const rig::Arming* arming);
  // Asks the running shutter or sequence request to stop after its step in progress; false
  // when none runs. Called from any thread.
  bool stopShots() {
    const quint64 running = runningShots_;
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
        const bool released = !description_.manner.stepwise;
        stoppedAfter_ = released ? std::optional(gone) : std::nullopt;
        stopWords_ = service::stopWords(*progress_, gone, released, shot_, shots_);
      }
    }
    stopAsked_ = running;
    wakeup_->wake();
    return true;
  }
  // What the last stopShots reached: its words and how far into the shots, once each.
  std::pair<QString, std::optional<double>> takeStopWords() {
    const std::lock_guard lock(progressLock_);
    return {std::exchange(stopWords_, {}), std::exchange(stoppedAfter_, std::nullopt)};
  }
  // What a ticket calls to end the wait for its shot at once.
  std::function<void()> waker() const {
    return [wakeup = wakeup_] { wakeup->wake(); };
  }
  void setJournal(std::unique_ptr<Journal> journal) { journal_ = std::move(journal); }
  // The requests queued or running.
  std::atomic<int>& pending() { return pending_; }
  void reportNow() { report(); }
  void withRig(const RigWork& work) {
    usedPort_ = true;
    work(*rig_, *serial_, *clock_);
    report();
  }
  // The operator chose a port, or the panel is closing: the lost module is no longer awaited.
  void useBoard(const rig::BoardName& name, const BoardSourceFactory& makeSource) {
    bool ownLine = false;
    if (name.kind == "text") {
      // A path none of the ports is: opened as it is, on a line of its own.
      try {
        rig::resolveTextBoard(name, *serial_, *clock_);
      } catch (const rig::SerialError&) {
        ownLine = true;
      }
    }
    named_ = std::make_unique<NamedBoard>(name, makeSource(), ownLine);
    if (named_->onSerialControl()) return;
    // A board of another kind tells no loss by itself: it is looked at between jobs.
    boardWatch_ = std::make_unique<QTimer>();
    QObject::connect(boardWatch_.get(), &QTimer::timeout, [this] { watchBoard(); });
    boardWatch_->start(kBoardWatchMs);
  }
  // From now on every opening opens the described rig's boards, and the actions act on its roles.
  void useRig(rig::RigDescription description, const BoardSourceFactory& makeSource) {
    description_ = std::move(description);
    rigSource_ = makeSource();
    rigFile_ = true;
  }
  void endWatch() {
    reconnector_.stop();
    serial_->stopWatching();
    if (retry_ != nullptr) retry_->stop();
  }
  bool shutDown() {
    // The stopped action has ended: the cameras' lines may be commanded off again.
    stop_ = false;
    endWatch();
    if (rigFile_ && !roles_) {
      // Nothing was sent: no board of the rig is open, and the words say which one is missing.
      endWords_ = lostBoard_ ? "no camera's line was commanded off: board " + lostBoard_->name +
                                   " (" + lostBoard_->board->text() + ") is lost"
                             : "no camera's line was commanded off: the rig's boards are not open";
      return false;
    }
    // The module on the opened port is spoken of by its relay, a rig file's by its cameras.
    const std::string lines = rigFile_ ? "every camera's lines" : "relay 1";
    if (!rigFile_ && !rig_->state().open) {
      endWords_ = lines + " could not be commanded off: " +
                  (named_ ? "the board is not open" : "the port is not open");
      return false;
    }
    // Every camera's lines off at the end, on the engine of every rig.
    try {
      engine().camerasOff();
      endWords_ = lines + " commanded off";
      return true;
    } catch (const std::exception& error) {
      // A line that is gone takes no more commands.
      endWords_ = (rigFile_ ? std::string("the cameras' lines could not all be commanded off: ")
                            : lines + " could not be commanded off: ") +
                  error.what();
      return false;
    }
  }
  // What the last shutDown commanded, or why it could not.
  const std::string& endWords() const { return endWords_; }

 private:
  // The thread's body: makes the serial control, the clock and the rig, runs the jobs, and
  // unmakes them.
  void run();
  Result execute(const Request& request, const rig::Arming* arming);
  // A shutter or sequence request: its shots, `interval` apart from start to start; the first
  // one armed when `arming` is given.
  Result runShots(const Request& request, const rig::Arming* arming);
  // Waits until `deadline`, looking for a stop now and then; false when one came.
  bool waitUnlessStopped(rig::Clock::time_point deadline, const std::function<bool()>& stopAsked);
  void clearShots();
  // A bulb's or series' own words once a stop cut it short, and whether its shutters closed.
  QString stoppedShotsWords(const rig::RunningShots& running, const Result& result) const;
  // Ends the running shots as the program's end does: answered "stopped" as a whole.
  [[noreturn]] void endShotsForTheEnd();
  void journal(const Request& request, const Result& result,
               std::chrono::system_clock::time_point wallStart);
  State current() const;
  // Hands the state to the owner when it has changed since last handed.
  void report();
  void onChange(const rig::RigState& state, rig::Change change);
  // The open port's device went away: "Port Lost", and the watch for its module begins.
  // `metByJob`: a job that used the port has run into it already and reported it.
  void onLoss(const std::string& message, bool metByJob);
  // A device may have come or gone (or a retry is due): asks the reconnector what to do.
  void considerReopening();
  // Runs one reopening attempt, queued like a request.
  void reopen(int port, const rig::DeviceInfo& device);
  // A reopening's run: `attempt` (the port's, or the board's, `port` empty), journalled as an
  // opening from the reconnection, and the reconnector told how it went.
  void runReopening(const std::function<std::optional<rig::FailureKind>()>& attempt,
                    const QString& port);
  // The named board of another kind: lost since the last look? Or, while it is awaited, back?
  void watchBoard();
  // The reopening of the named board, or of the described rig whose board is back.
  void reopenBoard();
  // The identity the reconnector awaits for the named board: its name.
  rig::DeviceInfo boardIdentity(bool present) const;
  // Opens the described rig's boards afresh and resets its lines; the failure's kind, nothing
  // when every board opened. `again`: a lost board is back, and the rig shown reconnected.
  std::optional<rig::FailureKind> openRig(bool again = false);
  // A board of the described rig lost since the last look: every board closed, "Port Lost"
  // naming it, and the board awaited by its name.
  void watchRig();
  // "Port Lost" for `board` (its name in words), told once, and the board awaited by its name.
  void showBoardLost(const std::string& board);
  // Notes each line the described rig switched since the last note, for the answer and journal.
  void noteLines(const rig::RoleState& state);
  // The engine of the rig in use, for an action; throws (NotOpen) while a rig file's boards are
  // not open.
  rig::RoleRig& engine();
  // The same, or none while a rig file's boards are not open.
  const rig::RoleRig* openEngine() const { return rigFile_ ? roles_.get() : &rig_->engine(); }
  // A camera as a stop's words name it: by its relay on the module on the opened port ("relay
  // 1"), else by its name ("camera left").
  std::string cameraWords(std::size_t camera) const;
  // The open rig's boards for people: "board top (text-id:RIG02 on /dev/ttyACM0), ...".
  std::string boardsText() const;
  // The described rig's cameras and flashes while its boards are not open: every line unknown.
  rig::RoleState unopenedRoles() const;
  // How often the named board is looked at between jobs.
  static constexpr int kBoardWatchMs = 250;

  RigService& owner_;
  std::function<void(const State&)> publish_;
  ArmedWindows& armed_;
  SerialFactory makeSerial_;
  ClockFactory makeClock_;
  JobThread thread_{QStringLiteral("rig"), JobThread::Events::Handled};
  std::atomic<int> pending_{0};
  std::atomic<bool> stop_{false};  // the service is stopping: waits throw rig::CutShort
  std::shared_ptr<Wakeup> wakeup_ = std::make_shared<Wakeup>();

  // The service thread's own, set while it runs.
  rig::SerialControl* serial_ = nullptr;
  Recorder* recorder_ = nullptr;
  rig::Rig* rig_ = nullptr;
  rig::Clock* clock_ = nullptr;
  bool running_ = false;
  // The series running: shot shot_ of shots_ (0 when none).
  std::atomic<int> shot_{0};
  std::atomic<int> shots_{0};
  // The shots running, for every channel's state and a stop's words (read from any thread).
  mutable std::mutex progressLock_;
  std::optional<rig::RunningShots> progress_;
  QString stopWords_;
  std::optional<double> stoppedAfter_;
  // The shutter or sequence request running, by a number of its own (0: none), and the one a
  // stop was asked for: a stop never reaches a request that starts after it.
  std::atomic<quint64> runningShots_{0};
  std::atomic<quint64> stopAsked_{0};
  quint64 shotRequests_ = 0;
  std::unique_ptr<Journal> journal_;
  bool usedPort_ = false;    // a job has used the port since the thread's events were last handled
  bool failedJob_ = false;   // a job has failed since then
  std::string lastFailure_;  // the words of the last request's failure, until the next one runs
  State reported_;
  bool reportedOnce_ = false;
  rig::Reconnector reconnector_;
  std::string lostMessage_;
  QTimer* retry_ = nullptr;             // wakes the reconnector at the time it asked for
  std::unique_ptr<NamedBoard> named_;   // --board: what every opening opens
  std::unique_ptr<QTimer> boardWatch_;  // looks at the named board between jobs
  // The rig in use: the panel's (its engine is the rig's own, on the board its openings chose),
  // or with --rig-file the file's, where its boards are found, and while open its boards and the
  // engine acting on its roles. Set before requests come; read by a stop from any thread.
  rig::RigDescription description_ = rig::builtInRig();
  bool rigFile_ = false;
  std::unique_ptr<rig::BoardSource> rigSource_;
  std::unique_ptr<rig::OpenedBoards> rigBoards_;
  std::unique_ptr<rig::RoleRig> roles_;
  rig::RoleState notedRoles_;
  std::optional<rig::RigBoard> lostBoard_;  // the described rig's board awaited after a loss
  std::string endWords_;                    // shutDown's words
};

void RigService::Worker::run() {
  const std::unique_ptr<rig::SerialControl> serial = makeSerial_();
  makeSerial_ = nullptr;
  const std::unique_ptr<rig::Clock> ownClock =
      makeClock_ ? makeClock_(*serial) : std::make_unique<SleepClock>(*serial, stop_, wakeup_);
  makeClock_ = nullptr;
  rig::Clock& clock = *ownClock;
  Recorder recorder(*serial, clock);
  rig::Rig rig(recorder, clock);
  serial_ = serial.get();
  clock_ = &clock;
  recorder_ = &recorder;
  rig_ = &rig;

  rig.setObserver(
      [this](const rig::RigState& state, rig::Change change) { onChange(state, change); });
  // A loss told after a job that used the port happened during or before that job, which met it
  // and told it in its own way (a failure); it is not told once more, but it is shown.
  serial->setLossHandler([this](const std::string& message) { onLoss(message, usedPort_); });
  QTimer retry;
  retry.setSingleShot(true);
  QObject::connect(&retry, &QTimer::timeout, [this] { considerReopening(); });
  retry_ = &retry;
  report();

  // A job's use of the port counts until the thread's events after it have been handled.
  thread_.serve([this] {
    clock_->rest();
    usedPort_ = false;
    failedJob_ = false;
  });

  endWatch();
  // The named board's objects are this thread's, and the rig switches through it: both go here.
  boardWatch_.reset();
  named_.reset();
  roles_.reset();
  rigBoards_.reset();
  rigSource_.reset();
  // Its writer may still tell of a failure to this thread: it ends while the thread is there.
  journal_.reset();
  retry_ = nullptr;
  serial->setLossHandler(nullptr);
  rig.setObserver(nullptr);
}

void RigService::Worker::onLoss(const std::string& message, bool metByJob) {
  lostMessage_ = message;
  rig_->showLost(message);
  report();
  if (!metByJob) emit owner_.linkLost(QString::fromStdString(message));
  if (const auto& module = rig_->module()) {
    reconnector_.lose(*module, std::chrono::steady_clock::now());
    serial_->watchDevices([this] { considerReopening(); });
    considerReopening();  // it may be back already
  }
}

void RigService::Worker::considerReopening() {
  if (!reconnector_.watching()) return;
  const bool byName = named_ && !named_->onSerialControl();
  // Not inside a job (a loss the job met): the board watch asks again after it.
  if ((byName || lostBoard_) && running_) return;
  if (byName || lostBoard_) {
    // A board by its name: there again when the source finds it.
    const auto now = std::chrono::steady_clock::now();
    bool present = false;
    if (byName) {
      present = named_->findAgain();
    } else {
      try {
        present = rigSource_->find(*lostBoard_->board, lostBoard_->relays) != nullptr;
      } catch (const std::exception&) {
        // Not there yet.
      }
    }
    const rig::Reconnector::Plan plan = reconnector_.next({boardIdentity(present)}, now);
    if (plan.wakeAt) {
      const auto wait = std::chrono::ceil<std::chrono::milliseconds>(*plan.wakeAt - now);
      retry_->start(std::max<int>(0, static_cast<int>(wait.count())));
    }
    if (plan.attempt) post([this] { reopenBoard(); });
    return;
  }
  const rig::PortList ports = serial_->refreshPorts();
  const auto now = std::chrono::steady_clock::now();
  const rig::Reconnector::Plan plan = reconnector_.next(ports, now);
  if (plan.wakeAt) {
    const auto wait = std::chrono::ceil<std::chrono::milliseconds>(*plan.wakeAt - now);
    retry_->start(std::max<int>(0, static_cast<int>(wait.count())));
  }
  if (plan.attempt) {
    const rig::DeviceInfo& device = ports.at(static_cast<std::size_t>(*plan.attempt - 1));
    // Queued behind the requests made so far, so it never runs inside or between an action's
    // steps, and only one is ever waiting.
    post([this, port = *plan.attempt, device] { reopen(port, device); });
  }
}

void RigService::Worker::reopen(int port, const rig::DeviceInfo& device) {
  runReopening([&] { return rig_->reopen(port, device, lostMessage_); }, QString::number(port));
}

void RigService::Worker::runReopening(
    const std::function<std::optional<rig::FailureKind>()>& attempt, const QString& port) {
  if (!reconnector_.watching()) return;  // the operator's own opening came first
  running_ = true;
  report();
  const auto wallStart = std::chrono::system_clock::now();
  recorder_->begin();
  std::optional<rig::FailureKind> failure = rig::FailureKind::Other;
  try {
    failure = attempt();
  } catch (const rig::CutShort&) {
    // The service is stopping: the attempt counts as failed.
  }
  Result result;
  result.commands = recorder_->take();
  if (failure) {
    const rig::RigState state = rig_->state();
    result.ok = false;
    result.failure = {*failure, port.isEmpty() ? std::nullopt : std::optional<int>(state.port),
                      state.device, state.reason};
  }
  Request reopening;
  reopening.action = Action::Open;
  reopening.origin = Origin::Reconnection;
  reopening.port = port;
  journal(reopening, result, wallStart);
  running_ = false;
  const auto now = std::chrono::steady_clock::now();
  // A module that opened and went away again during its reset counts as reopened: its next
  // loss tells the reconnector that it is flapping.
  if (!failure || *failure == rig::FailureKind::DeviceGone) {
    reconnector_.succeeded(now);
    serial_->stopWatching();
    retry_->stop();
  } else {
    reconnector_.failed(now);
    considerReopening();
  }
  report();
}

rig::DeviceInfo RigService::Worker::boardIdentity(bool present) const {
  rig::DeviceInfo identity;
  identity.path = lostBoard_ ? lostBoard_->board->text() : named_->name().text();
  identity.byPath = true;
  identity.present = present;
  return identity;
}

void RigService::Worker::watchBoard() {
  // The boards are never looked at, closed or unmade under a job that is using them.
  if (running_) return;
  if (reconnector_.watching()) {
    considerReopening();
    return;
  }
  if (rigFile_) {
    watchRig();
    return;
  }
  if (named_->lost()) showBoardLost(named_->name().text());
}

void RigService::Worker::watchRig() {
  const rig::RigBoard* lost = rigBoards_ ? rigBoards_->lost() : nullptr;
  if (lost == nullptr) return;
  lostBoard_ = *lost;
  // Every board closed: the rig is opened and reset whole once the lost one is back, and no
  // action switches a line on a board that was not reset.
  roles_.reset();
  rigBoards_.reset();
  showBoardLost("board " + lostBoard_->name + " (" + lostBoard_->board->text() + ")");
}

void RigService::Worker::showBoardLost(const std::string& board) {
  // A job that failed since the thread's events were last handled met the loss and told it; one
  // that succeeded did not, though it used the board (the board went just after it).
  const rig::RigState state = rig_->state();
  const std::string message = state.link == rig::Link::Lost && !state.reason.empty()
                                  ? state.reason
                                  : board + ": the board went away";
  lostMessage_ = message;
  rig_->showLost(message);
  report();
  if (!failedJob_) emit owner_.linkLost(QString::fromStdString(message));
  reconnector_.lose(boardIdentity(false), std::chrono::steady_clock::now());
  considerReopening();
}

void RigService::Worker::reopenBoard() {
  runReopening(
      [this] {
        const auto failure =
            lostBoard_ ? openRig(true) : named_->open(*rig_, *serial_, *clock_, true);
        // Still awaited: the status box keeps "Port Lost", with why the attempt failed.
        if (failure) rig_->showLost(lostMessage_ + "; reopening failed: " + rig_->state().reason);
        return failure;
      },
      {});
}

void RigService::Worker::onChange(const rig::RigState& state, rig::Change change) {
  emit owner_.rigChanged(state, change);
  report();
}

State RigService::Worker::current() const {
  rig::RigState state = rig_->state();
  state.busy = running_ || pending_ > 0;
  state.shot = shot_;
  state.shots = shots_;
  {
    const std::lock_guard lock(progressLock_);
    state.running = progress_;
  }
  if (journal_) state.journalFailure = journal_->failure();
  state.failure = lastFailure_;
  const rig::RoleRig* const engine = openEngine();
  state.armedAt = engine != nullptr ? engine->armedAt() : std::nullopt;
  if (!rigFile_) return stateOf(state);
  // A described rig's flashes and shutters as the two-relay rig's captions and relays show them:
  // a flash on when any is, the shutter open while any camera's is.
  const rig::RoleState roles = roles_ ? roles_->state() : unopenedRoles();
  const auto any = [](rig::LineState line) { return line == rig::LineState::On; };
  bool flashOn = false;
  bool flashesKnown = !roles.flashes.empty();
  for (const rig::FlashLine& flash : roles.flashes) {
    flashOn = flashOn || any(flash.line);
    flashesKnown = flashesKnown && flash.line != rig::LineState::Unknown;
  }
  state.flash = flashOn ? rig::Flash::On : flashesKnown ? rig::Flash::Off : rig::Flash::Unknown;
  const bool shutterOpen =
      std::any_of(roles.cameras.begin(), roles.cameras.end(),
                  [&any](const rig::CameraLines& c) { return any(c.shutter); });
  state.shutter = shutterOpen ? rig::Shutter::Open : rig::Shutter::Closed;
  State described = stateOf(state);
  described.roles = roles;
  described.open = roles_ != nullptr;
  described.rigFile = QString::fromStdString(description_.file);
  for (const rig::RigCamera& camera : description_.cameras)
    described.cameraBoards.push_back(QString::fromStdString(camera.shutter.board));
  for (const rig::RigFlash& flash : description_.flashes)
    described.flashBoards.push_back(QString::fromStdString(flash.line.board));
  for (const rig::RigBoard& board : description_.boards) {
    BoardStatus one;
    one.name = QString::fromStdString(board.name);
    const rig::Board* opened = nullptr;
    if (rigBoards_) {
      const auto it = rigBoards_->boards().find(board.name);
      if (it != rigBoards_->boards().end()) opened = it->second;
    }
    if (board.board) {
      one.board = QString::fromStdString(board.board->text());
      one.kind = QString::fromStdString(board.board->kind);
      one.device = QString::fromStdString(opened != nullptr ? opened->device()
                                                            : rig::deviceOf(*board.board));
    }
    // Open together, or closed together while one of them is lost.
    one.link = roles_                                         ? QStringLiteral("open")
               : lostBoard_ && lostBoard_->name == board.name ? QStringLiteral("lost")
               : lostBoard_                                   ? QStringLiteral("closed")
                                                              : linkWord(state.link);
    described.boards.push_back(one);
  }
  return described;
}

void RigService::Worker::report() {
  const State state = current();
  if (reportedOnce_ && sameState(state, reported_)) return;
  reported_ = state;
  reportedOnce_ = true;
  QMetaObject::invokeMethod(
      &owner_, [publish = publish_, state] { publish(state); }, Qt::QueuedConnection);
}

void RigService::Worker::handle(const Request& request, const Done& done,
                                const QPointer<QObject>& replyTo, const rig::Arming* arming) {
  const bool withdrawn = request.ticket && !request.ticket->start();
  if (!withdrawn && request.ticket && request.ticket->onStart && replyTo) {
    QMetaObject::invokeMethod(replyTo.data(), request.ticket->onStart, Qt::QueuedConnection);
  }
  // Asking for the state changes nothing, so it does not count as running.
  running_ = request.action != Action::Status && !withdrawn;
  // The tooltip tells the last request's failure until the next one runs.
  if (running_) lastFailure_.clear();
  usedPort_ = usedPort_ || running_;
  report();
  const auto wallStart = std::chrono::system_clock::now();
  Result result = withdrawn ? notRun(request.action, QStringLiteral("withdrawn by its client"))
                            : execute(request, arming);
  // Free before it is answered: a client may ask for the next shot as soon as it hears.
  armed_.release(request);
  failedJob_ = failedJob_ || (running_ && !result.ok);
  // An opening's failure is in the status box already; one its client withdrew is no failure.
  if (running_ && !result.ok && !result.shownInStatus &&
      result.failure.kind != rig::FailureKind::NotRun) {
    lastFailure_ = result.message.toStdString();
  }
  running_ = false;
  const bool last = --pending_ == 0;
  report();
  result.state = current();
  if (request.action != Action::Status) journal(request, result, wallStart);
  if (replyTo) {
    QMetaObject::invokeMethod(
        replyTo.data(),
        [done, result, owner = &owner_, toOwner = replyTo.data() == &owner_]() mutable {
          if (toOwner) result.state.broker = owner->broker();
          if (done) done(result);
        },
        Qt::QueuedConnection);
  }
  if (last) emit owner_.idle();
}

Result RigService::Worker::execute(const Request& request, const rig::Arming* arming) {
  Result result;
  recorder_->begin();
  try {
    switch (request.action) {
      case Action::Status:
        result.clock = armed_.clockStatus();
        break;
      case Action::Open:
        endWatch();
        if (const auto kind = rigFile_ ? openRig()
                              : named_ ? named_->open(*rig_, *serial_, *clock_)
                                       : rig_->openComPort(request.port.toStdString())) {
          // The status box tells it, "Port Not Found" or "Port Lost", with the reason.
          const rig::RigState state = rig_->state();
          result.ok = false;
          result.failure = {*kind, state.port, state.device, state.reason};
          result.shownInStatus = true;
          result.message = QString::fromStdString(state.reason);
        }
        break;
      case Action::Flash:
        if (!rigFile_ && !request.flash.isEmpty()) {
          throw rig::SerialError(rig::Failure{rig::FailureKind::BadRequest,
                                              std::nullopt,
                                              {},
                                              "this rig has no flashes by name: no rig file "
                                              "describes it"});
        }
        engine().flash(request.flash.toStdString());
        break;
      case Action::Shutter:
      case Action::Sequence:
        result = runShots(request, arming);
        break;
      case Action::Stop:
      case Action::Disarm:
        // Taken by RigService::submit, never queued.
        break;
    }
  } catch (const rig::CutShort&) {
    // The rig has ended the action soundly; the commands say how far it got.
    result = failed(
        request.action,
        {rig::FailureKind::Stopped, std::nullopt, {}, "stopped early: the program is ending"});
    result.message =
        QStringLiteral("%1 stopped early: the program is ending").arg(buttonOf(request.action));
  } catch (const rig::SerialError& error) {
    result = failed(request.action, error.failure());
  } catch (const std::exception& error) {
    result = failed(request.action, {rig::FailureKind::Other, std::nullopt, {}, error.what()});
  } catch (...) {
    result = failed(request.action, {rig::FailureKind::Other, std::nullopt, {}, "unknown error"});
  }
  result.commands = recorder_->take();
  return result;
}

std::optional<rig::FailureKind> RigService::Worker::openRig(bool again) {
  roles_.reset();
  rigBoards_.reset();
  notedRoles_ = {};
  try {
    rigBoards_ = std::make_unique<rig::OpenedBoards>(description_, *rigSource_);
    roles_ = std::make_unique<rig::RoleRig>(description_, rigBoards_->boards(), *clock_);
    roles_->checkMoments();
    notedRoles_ = roles_->state();
    roles_->setObserver([this](const rig::RoleState& state) {
      noteLines(state);
      // The window follows the flash and the shutter as the two-relay rig tells them.
      const rig::RigState now = current().rig;
      emit owner_.rigChanged(now, rig::Change::Flash);
      emit owner_.rigChanged(now, rig::Change::Shutter);
      report();
    });
    rig_->showOpened(again, boardsText());
    roles_->reset();
    lostBoard_.reset();
    if (!boardWatch_) {
      // Boards tell no loss by themselves: looked at between jobs, as a board by name is.
      boardWatch_ = std::make_unique<QTimer>();
      QObject::connect(boardWatch_.get(), &QTimer::timeout, [this] { watchBoard(); });
      boardWatch_->start(kBoardWatchMs);
    }
  } catch (const rig::SerialError& error) {
    roles_.reset();
    rigBoards_.reset();
    return rig_->showNotFound(error.what(), error.kind());
  }
  return std::nullopt;
}

std::string RigService::Worker::boardsText() const {
  std::string text;
  for (const rig::RigBoard& board : description_.boards) {
    if (!board.board) continue;
    if (!text.empty()) text += ", ";
    text += "board " + board.name + " (" + board.board->text();
    const auto it = rigBoards_->boards().find(board.name);
    const std::string device = it != rigBoards_->boards().end() && it->second != nullptr
                                   ? it->second->device()
                                   : std::string();
    if (!device.empty() && device != board.board->identity) text += " on " + device;
    text += ")";
  }
  return text;
}

rig::RoleRig& RigService::Worker::engine() {
  if (!rigFile_) return rig_->engine();
  if (!roles_) {
    throw rig::SerialError(rig::Failure{rig::FailureKind::NotOpen,
                                        std::nullopt,
                                        {},
                                        "the rig's boards are not open: open them first"});
  }
  return *roles_;
}

rig::RoleState RigService::Worker::unopenedRoles() const {
  rig::RoleState roles;
  for (const rig::RigCamera& camera : description_.cameras) {
    roles.cameras.push_back({camera.name, rig::LineState::Unknown,
                             camera.focus ? std::optional(rig::LineState::Unknown) : std::nullopt});
  }
  for (const rig::RigFlash& flash : description_.flashes)
    roles.flashes.push_back({flash.name, rig::LineState::Unknown});
  return roles;
}

void RigService::Worker::noteLines(const rig::RoleState& state) {
  const auto note = [this](const std::string& role, rig::LineState was, rig::LineState now) {
    if (now == was || now == rig::LineState::Unknown) return;
    recorder_->note(role + (now == rig::LineState::On ? " on" : " off"));
  };
  for (std::size_t i = 0; i < state.cameras.size() && i < notedRoles_.cameras.size(); ++i) {
    const rig::CameraLines& camera = state.cameras[i];
    const rig::CameraLines& was = notedRoles_.cameras[i];
    if (camera.focus && was.focus)
      note("camera " + camera.name + " focus", *was.focus, *camera.focus);
    note("camera " + camera.name + " shutter", was.shutter, camera.shutter);
  }
  for (std::size_t i = 0; i < state.flashes.size() && i < notedRoles_.flashes.size(); ++i) {
    note("flash " + state.flashes[i].name, notedRoles_.flashes[i].line, state.flashes[i].line);
  }
  notedRoles_ = state;
}

Result RigService::Worker::runShots(const Request& request, const rig::Arming* arming) {
  // Refused before the request counts as running: a stop then finds nothing to stop.
  if (!rigFile_ && !request.cameras.empty()) {
    throw rig::SerialError(
        rig::Failure{rig::FailureKind::BadRequest,
                     std::nullopt,
                     {},
                     "this rig has no cameras by name: no rig file describes it"});
  }
  rig::RoleRig& engine = this->engine();
  const bool sequence = request.action == Action::Sequence;
  const ShotTimes& times = request.times;
  const quint64 number = ++shotRequests_;
  runningShots_ = number;
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
  const std::vector<std::string> cameras = [&request] {
    std::vector<std::string> names;
    for (const QString& name : request.cameras) names.push_back(name.toStdString());
    return names;
  }();
  const int shots = times.shots();
  // A series armed for its first shot counts its interval from that shot's time.
  auto start = clock_->now();
  if (arming != nullptr) {
    start += std::chrono::duration_cast<rig::Clock::duration>(arming->at -
                                                              std::chrono::system_clock::now());
  }

  // Every channel shows how far the shots are: from the (armed) first shot's start to the last's
  // planned end.
  const rig::RunningShots running = [&] {
    // The shutters open after the focus lead of a camera that has a focus line (an armed shot's
    // time is its shutters' own).
    std::chrono::milliseconds lead{0};
    for (const rig::RigCamera& camera : description_.cameras) {
      const bool fired = cameras.empty() ||
                         std::find(cameras.begin(), cameras.end(), camera.name) != cameras.end();
      if (fired && camera.focus) lead = description_.timings.focus;
    }
    const auto since = arming != nullptr ? arming->at : std::chrono::system_clock::now() + lead;
    const auto length = (shots - 1) * spacing + rig::shotLength(sequence, timings);
    using Real = std::chrono::system_clock::duration;
    return rig::RunningShots{sequence ? rig::Shots::Sequence : rig::Shots::Shutter, since,
                             since + std::chrono::duration_cast<Real>(length),
                             std::chrono::duration_cast<Real>(timings.pulse)};
  }();
  {
    const std::lock_guard lock(progressLock_);
    progress_ = running;
  }
  report();

  Result result;
  bool overran = false;  // a shot ended after the next one's time
  for (int n = 1; n <= shots; ++n) {
    if (n > 1 && !waitUnlessStopped(start + (n - 1) * spacing, stopAsked)) {
      if (stop_) endShotsForTheEnd();
      result.stopped = true;
      break;
    }
    if (times.repeat) {
      shot_ = n;
      shots_ = shots;
      report();
    }
    ShotRecord record{n,
                      std::max(0.0, std::chrono::duration<double>(clock_->now() - start).count())};
    std::optional<rig::Failure> failure;
    if (n == 1 && arming != nullptr) timings.armed = *arming;
    if (n == 2) timings.armed.reset();
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
        clearShots();
        throw;
      }
      if (stop_) endShotsForTheEnd();
      result.stopped = true;
    } catch (const rig::SerialError& error) {
      failure = error.failure();
    } catch (const std::exception& error) {
      failure = rig::Failure{rig::FailureKind::Other, std::nullopt, {}, error.what()};
    } catch (...) {
      failure = rig::Failure{rig::FailureKind::Other, std::nullopt, {}, "unknown error"};
    }
    if (failure) {
      // A failed shot ends the series: the module is not to be trusted with the next one.
      record.ok = false;
      record.kind = failure->kind;
      std::vector<ShotRecord> done = std::move(result.shots);
      result = failed(request.action, *failure);
      result.shots = std::move(done);
    }
    if (n == 1 && arming != nullptr && !failure) {
      for (const rig::RoleRig::BoardLateness& board : engine.armedLateness()) {
        result.boardShots.push_back({QString::fromStdString(board.board),
                                     std::chrono::duration<double>(board.late).count()});
      }
    }
    if (times.repeat) result.shots.push_back(record);
    if (failure || result.stopped) break;
    overran = overran || (n < shots && clock_->now() > start + n * spacing);
  }
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
  clearShots();
  return result;
}

void RigService::Worker::clearShots() {
  runningShots_ = 0;
  shot_ = 0;
  shots_ = 0;
  const std::lock_guard lock(progressLock_);
  progress_.reset();
}

QString RigService::Worker::stoppedShotsWords(const rig::RunningShots& running,
                                              const Result& result) const {
  const double gone =
      std::chrono::duration<double>(std::chrono::system_clock::now() - running.since).count();
  // Closed only as the lines were last commanded or read back: unknown is not closed.
  std::vector<std::string> notClosed;
  if (const rig::RoleRig* const engine = openEngine()) {
    const std::vector<rig::CameraLines>& cameras = engine->state().cameras;
    for (std::size_t i = 0; i < cameras.size(); ++i) {
      if (cameras[i].shutter != rig::LineState::Off) notClosed.push_back(cameraWords(i));
    }
  }
  return service::stoppedWords(running, gone, static_cast<int>(result.shots.size()), notClosed);
}

std::string RigService::Worker::cameraWords(std::size_t camera) const {
  const rig::RigCamera& described = description_.cameras.at(camera);
  const auto board = std::find_if(
      description_.boards.begin(), description_.boards.end(),
      [&described](const rig::RigBoard& b) { return b.name == described.shutter.board; });
  // The module on the opened port has always been spoken of by its relays.
  if (board != description_.boards.end() && !board->board) {
    return "relay " + std::to_string(described.shutter.relay);
  }
  return "camera " + described.name;
}

void RigService::Worker::endShotsForTheEnd() {
  clearShots();
  throw rig::CutShort{rig::CutShort::Why::ServiceStopping};
}

bool RigService::Worker::waitUnlessStopped(rig::Clock::time_point deadline,
                                           const std::function<bool()>& stopAsked) {
  // A stop, a disarm or a withdrawal wakes the wait.
  while (clock_->now() < deadline) {
    if (stopAsked()) return false;
    clock_->waitUntilWoken(deadline);
  }
  return !stopAsked();
}

void RigService::Worker::journal(const Request& request, const Result& result,
                                 std::chrono::system_clock::time_point wallStart) {
  if (journal_) journal_->add(journalLine(request, result, wallStart));
}

// ---- RigService ----

RigService::RigService(SerialFactory makeSerial, QObject* parent)
    : RigService(std::move(makeSerial), nullptr, parent) {}

RigService::RigService(SerialFactory makeSerial, ClockFactory makeClock, QObject* parent)
    : RigHost(parent) {
  qRegisterMetaType<rig::RigState>();
  qRegisterMetaType<rig::Change>();
  qRegisterMetaType<service::State>();
  qRegisterMetaType<service::Request>();
  qRegisterMetaType<service::Result>();
  worker_ = std::make_unique<Worker>(
      *this, [this](const State& state) { publish(state); }, armed_, std::move(makeSerial),
      std::move(makeClock));
  worker_->begin();
  // The state the worker reported on starting is the first one there is.
  QCoreApplication::sendPostedEvents(this, QEvent::MetaCall);
}

RigService::RigService(std::unique_ptr<rig::SerialControl> serial, ClockFactory makeClock,
                       QObject* parent)
    : RigService([held = std::make_shared<std::unique_ptr<rig::SerialControl>>(
                      std::move(serial))] { return std::move(*held); },
                 std::move(makeClock), parent) {}

void RigService::useRig(const rig::RigDescription& description, BoardSourceFactory makeSource) {
  describedTimings_ = description.timings;
  worker_->postAndWait([worker = worker_.get(), &description, &makeSource] {
    worker->useRig(description, makeSource);
  });
}

void RigService::useBoard(const rig::BoardName& name, BoardSourceFactory makeSource) {
  worker_->postAndWait(
      [worker = worker_.get(), &name, &makeSource] { worker->useBoard(name, makeSource); });
}

RigService::~RigService() {
  // An armed shot would keep the end waiting until its time; a service that ends fires none.
  armed_.cancelAll();
  worker_->end();
}

namespace {

// How long an action keeps the rig, roughly, from its first command: what an armed shot after
// it must leave free. The pauses, and the queries at 9600 baud; a described rig's own timings
// and its focus lead.
std::chrono::milliseconds nominalLength(const Request& request,
                                        const std::optional<rig::RigTimings>& described) {
  using namespace std::chrono_literals;
  switch (request.action) {
    case Action::Status:
    case Action::Stop:
    case Action::Disarm:
      return 0ms;
    case Action::Flash:
      return 100ms;
    case Action::Open:
      return 1000ms;
    case Action::Shutter:
    case Action::Sequence: {
      const bool sequence = request.action == Action::Sequence;
      const ShotTimes& times = request.times;
      // The pulses and pauses of every shot, and the queries of the last one at 9600 baud.
      const auto queries = sequence ? 500ms : 100ms;
      rig::Timings base;
      std::chrono::milliseconds focus{0};
      if (described) {
        base.pulse = described->pulse;
        base.pause = described->pause;
        focus = described->focus;
      }
      return std::chrono::duration_cast<std::chrono::milliseconds>(
          (times.shots() - 1) * times.spacing(sequence, base) +
          rig::shotLength(sequence, times.timings(base)) + queries + focus);
    }
  }
  return 0ms;
}

// The answer goes back to the caller's thread: to `service` when that is its thread, else to the
// caller's event dispatcher.
QPointer<QObject> callersThread(QObject* service) {
  if (QThread::currentThread() == service->thread()) return service;
  return QAbstractEventDispatcher::instance(QThread::currentThread());
}

}  // namespace

void RigService::answerAtOnce(const Request& request, Result result, const Done& done) {
  static_cast<void>(request);
  result.state = state();
  QMetaObject::invokeMethod(
      callersThread(this).data(),
      [done, result] {
        if (done) done(result);
      },
      Qt::QueuedConnection);
}

void RigService::setClockStatusSource(std::function<ClockStatus()> source) {
  armed_.setClockStatusSource(std::move(source));
}

void RigService::submit(const Request& request, Done done) {
  if (request.action == Action::Shutter || request.action == Action::Sequence) {
    // Every channel's shot is told once answered, so that a view can say how the last one went.
    done = [self = QPointer<RigService>(this), request, done = std::move(done)](const Result& r) {
      if (done) done(r);
      if (self) emit self->shotEnded(request, r);
    };
  }
  if (request.action == Action::Stop || request.action == Action::Disarm) {
    // Not queued: what they end is running or waiting, and the queue waits behind it. A stop
    // ends the running series after its step in progress and every armed wait; a disarm the
    // armed waits, and an armed series after its step.
    // Answered under the armed windows' lock, where a request it ended is released before its
    // own answer: a client hears the stop or the disarm before what it ended, however the two
    // threads run.
    const auto wallStart = std::chrono::system_clock::now();
    armed_.cancelAll([&](const QJsonArray& ended) {
      Result result;
      result.ended = ended;
      if (request.action == Action::Stop) {
        const auto any = [&ended](QLatin1String outcome) {
          return std::any_of(ended.begin(), ended.end(), [outcome](const QJsonValue& one) {
            return one[QStringLiteral("outcome")] == outcome;
          });
        };
        const bool running = worker_->stopShots();
        // A running armed shot past its cut-off is no series or sequence that a stop ends.
        result.stopped = any(QLatin1String("disarmed")) || any(QLatin1String("stopping")) ||
                         (running && !any(QLatin1String("fired")));
        const auto [words, after] = worker_->takeStopWords();
        if (running && result.stopped) {
          result.message = words;
          result.stoppedAfter = after;
        }
      }
      if (journal_ != nullptr) journal_->add(journalLine(request, result, wallStart));
      answerAtOnce(request, result, done);
    });
    return;
  }
  if (request.action == Action::Status) {
    // Answered from the state as last reported, whatever runs: asking changes nothing.
    Result result;
    result.clock = armed_.clockStatus();
    answerAtOnce(request, result, done);
    return;
  }
  enqueue(request, std::move(done));
}

void RigService::afterQueued(std::function<void()> then) {
  // A job of the service's thread, no request: it is not counted, reported or journalled.
  worker_->afterQueued(callersThread(this).data(), std::move(then));
}

void RigService::enqueue(const Request& request, Done done) {
  const QPointer<QObject> replyTo = callersThread(this);
  // Every shot request can be cancelled (a withdrawal after its start, a disarm, a stop) through
  // its ticket; the window's clicks come without one.
  Request asked = request;
  if (asked.action == Action::Shutter || asked.action == Action::Sequence) {
    if (!asked.ticket) asked.ticket = std::make_shared<Ticket>();
    asked.ticket->wake = worker_->waker();
  }
  const auto length = nominalLength(asked, describedTimings_);
  if (asked.shot) {
    const auto focus = describedTimings_ ? describedTimings_->focus : std::chrono::milliseconds{0};
    if (const auto failure = armed_.arm(asked, length, std::chrono::system_clock::now(), focus)) {
      Result refused = failed(asked.action, *failure);
      if (journal_ != nullptr) {
        journal_->add(journalLine(asked, refused, std::chrono::system_clock::now()));
      }
      answerAtOnce(asked, refused, done);
      return;
    }
  } else {
    armed_.queue(length);
  }
  ++worker_->pending();
  // Dropped unrun when the service stops before it starts; after the stop, at once.
  auto drop = [this, request = asked, done, replyTo, length] {
    if (!request.shot) armed_.unqueue(length);
    armed_.release(request);
    Result result = notRun(request.action, QStringLiteral("the program is ending"));
    result.state = state_;
    // It reached the service: the journal tells that it never ran.
    if (journal_ != nullptr && request.action != Action::Status) {
      journal_->add(journalLine(request, result, std::chrono::system_clock::now()));
    }
    const bool last = --worker_->pending() == 0;
    if (replyTo) {
      QMetaObject::invokeMethod(
          replyTo.data(),
          [done, result]() {
            if (done) done(result);
          },
          Qt::QueuedConnection);
    }
    if (last) emit idle();
  };
  if (stopped_) {
    drop();
    return;
  }
  worker_->post(
      [this, request = asked, done = std::move(done), replyTo] {
        const std::optional<rig::Arming> arming = starting(request);
        worker_->handle(request, done, replyTo, arming ? &*arming : nullptr);
      },
      std::move(drop));
}

std::optional<rig::Arming> RigService::starting(const Request& request) {
  if (!request.shot) {
    armed_.started(nominalLength(request, describedTimings_), std::chrono::system_clock::now());
    return std::nullopt;
  }
  return rig::Arming{request.shot->at, [ticket = request.ticket] { return ticket->disarmed(); },
                     [ticket = request.ticket] { return ticket->commit(); }};
}

State RigService::state() const {
  State state = state_;
  state.broker = broker();
  return state;
}

void RigService::setJournal(std::unique_ptr<Journal> journal) {
  journal_ = journal.get();
  if (journal_ != nullptr) {
    // Said once, and shown in the status box's tooltip from the next report on.
    journal_->setFailureHandler([worker = worker_.get()](const std::string& reason) {
      std::fprintf(stderr, "quillmar: the journal cannot be written: %s\n", reason.c_str());
      worker->post([worker] { worker->reportNow(); });
    });
  }
  worker_->postAndWait(
      [worker = worker_.get(), &journal] { worker->setJournal(std::move(journal)); });
}

bool RigService::busy() const { return worker_->pending() > 0; }

void RigService::endWatch() {
  worker_->post([worker = worker_.get()] { worker->endWatch(); });
}

bool RigService::stop() {
  interrupt();
  return shutDown();
}

void RigService::interrupt() {
  stopped_ = true;
  worker_->stopRequests();
}

bool RigService::shutDown() {
  // A series would keep the end waiting for all its shots: it ends after its step in progress;
  // no armed shot fires after the end was asked for.
  armed_.cancelAll();
  worker_->stopShots();
  bool sent = false;
  worker_->postAndWait([worker = worker_.get(), &sent, this] {
    sent = worker->shutDown();
    endWords_ = QString::fromStdString(worker->endWords());
  });
  return sent;
}

void RigService::withSerial(const std::function<void(rig::SerialControl&)>& work) {
  withRig([&work](rig::Rig&, rig::SerialControl& serial, rig::Clock&) { work(serial); });
}

void RigService::withRig(const RigWork& work) {
  // What `work` throws would end the service's thread: it is handed to the caller instead.
  std::exception_ptr failure;
  worker_->postAndWait([worker = worker_.get(), &work, &failure] {
    try {
      worker->withRig(work);
    } catch (...) {
      failure = std::current_exception();
    }
  });
  if (failure) std::rethrow_exception(failure);
}

void RigService::publish(const State& state) {
  if (sameState(state, state_)) return;
  state_ = state;
  emit stateChanged(this->state());
}

std::optional<RigService::Warning> RigService::warning(const Request& request,
                                                       const Result& result) {
  // Only the window's own clicks are its to warn about; the status box tells an opening's end.
  if (result.ok || result.shownInStatus || request.origin != Origin::Click) return std::nullopt;
  // The program is ending: nobody is there to close a dialog.
  if (result.failure.kind == rig::FailureKind::Stopped ||
      result.failure.kind == rig::FailureKind::NotRun) {
    return std::nullopt;
  }
  const QString button = buttonOf(request.action);
  return Warning{QStringLiteral("%1 failed").arg(button),
                 QStringLiteral("\"%1\" stopped at a failing step.\n\n%2")
                     .arg(button, failureDetails(result.failure))};
}

}  // namespace service
