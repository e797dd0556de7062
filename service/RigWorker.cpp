#include "RigWorker.h"

#include <QTimer>
#include <exception>

#include "boards/text/TextDiscovery.h"

namespace service {

RigService::Worker::Worker(RigService& owner, std::function<void(const State&)> publish,
                           ArmedWindows& armed, SerialFactory makeSerial, ClockFactory makeClock)
    : owner_(owner),
      armed_(armed),
      makeSerial_(std::move(makeSerial)),
      makeClock_(std::move(makeClock)),
      reporter_(owner, std::move(publish)),
      shots_(
          described_, stop_, wakeup_, [this] { report(); },
          [this] { return described_.openEngine(*rig_); }),
      reconnection_(*this, named_, described_) {
  opening_ = [this](const std::string& port, bool) { return rig_->openComPort(port); };
}

RigService::Worker::~Worker() = default;

void RigService::Worker::stopRequests() {
  // The queue is emptied before the running request is woken: woken at once, it must find
  // nothing more to start.
  const std::vector<JobThread::Job> dropped = thread_.dropQueued();
  stop_ = true;
  wakeup_->wake();
  for (const auto& drop : dropped) drop();
}

void RigService::Worker::withRig(const RigWork& work) {
  usedPort_ = true;
  work(*rig_, *serial_, *clock_);
  report();
}

void RigService::Worker::useBoard(const rig::BoardName& name,
                                  const BoardSourceFactory& makeSource) {
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
  // A rig file, given too, is what the openings open.
  if (!described_.fromFile()) {
    opening_ = [this](const std::string&, bool again) {
      return named_->open(*rig_, *serial_, *clock_, again);
    };
  }
  // A board of another kind tells no loss by itself: it is looked at between jobs.
  if (!named_->onSerialControl()) reconnection_.watchBoards();
}

void RigService::Worker::useRig(rig::RigDescription description,
                                const BoardSourceFactory& makeSource) {
  described_.use(std::move(description), makeSource());
  opening_ = [this](const std::string&, bool again) { return openRig(again); };
  // The state names the file and its boards at once, not the module on a port.
  report();
}

void RigService::Worker::endWatch() { reconnection_.stop(); }

bool RigService::Worker::shutDown() {
  // The stopped action has ended: the cameras' lines may be commanded off again.
  stop_ = false;
  endWatch();
  const bool rigFile = described_.fromFile();
  if (rigFile && described_.roles() == nullptr) {
    // Nothing was sent: no board of the rig is open, and the words say which one is missing.
    const std::optional<rig::RigBoard>& lost = described_.lostBoard();
    endWords_ = lost ? "no camera's line was commanded off: board " + lost->name + " (" +
                           lost->board->text() + ") is lost"
                     : "no camera's line was commanded off: the rig's boards are not open";
    return false;
  }
  // The module on the opened port is spoken of by its relay, a rig file's by its cameras.
  const std::string lines = rigFile ? "every camera's lines" : "relay 1";
  if (!rigFile && !rig_->state().open) {
    endWords_ = lines + " could not be commanded off: " +
                (named_ ? "the board is not open" : "the port is not open");
    return false;
  }
  // Every camera's lines off at the end, on the engine of every rig.
  try {
    described_.engine(*rig_).camerasOff();
    endWords_ = lines + " commanded off";
    return true;
  } catch (const rig::CutShort&) {
    throw;  // no failure of the lines
  } catch (const std::exception& error) {
    // A line that is gone takes no more commands.
    endWords_ = (rigFile ? std::string("the cameras' lines could not all be commanded off: ")
                         : lines + " could not be commanded off: ") +
                error.what();
    return false;
  }
}

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
  serial->setLossHandler(
      [this](const std::string& message) { reconnection_.onLoss(message, usedPort_); });
  reconnection_.begin(rig, *serial, clock);
  report();

  // A job's use of the port counts until the thread's events after it have been handled.
  thread_.serve([this] {
    clock_->rest();
    usedPort_ = false;
    failedJob_ = false;
  });

  // The watches' timers and the named board's objects are this thread's, and the rig switches
  // through the boards: they go here.
  reconnection_.end();
  named_.reset();
  described_.close();
  // Its writer may still tell of a failure to this thread: it ends while the thread is there.
  journal_.reset();
  serial->setLossHandler(nullptr);
  rig.setObserver(nullptr);
}

void RigService::Worker::tellLost(const std::string& message) {
  emit owner_.linkLost(QString::fromStdString(message));
}

std::optional<rig::Failure> RigService::Worker::runAsJob(
    const std::function<std::optional<rig::Failure>()>& attempt, const QString& port) {
  running_ = true;
  report();
  const auto wallStart = std::chrono::system_clock::now();
  recorder_->begin();
  std::optional<rig::Failure> failure;
  try {
    failure = attempt();
  } catch (const rig::CutShort& cut) {
    // The service is stopping: the attempt counts as failed.
    failure = rig::Failure{rig::FailureKind::Other, std::nullopt, {}, cut.what()};
  }
  Result result;
  result.commands = recorder_->take();
  if (failure) {
    // A board's reopening names no port.
    if (port.isEmpty()) failure->port.reset();
    result.ok = false;
    result.failure = *failure;
  }
  Request reopening;
  reopening.action = Action::Open;
  reopening.origin = Origin::Reconnection;
  reopening.port = port;
  journal(reopening, result, wallStart);
  running_ = false;
  return failure;
}

void RigService::Worker::onChange(const rig::RigState& state, rig::Change change) {
  emit owner_.rigChanged(state, change);
  report();
}

State RigService::Worker::current() const {
  rig::RigState state = rig_->state();
  state.busy = running_ || pending_ > 0;
  state.shot = shots_.shot();
  state.shots = shots_.shots();
  state.running = shots_.progress();
  if (journal_) state.journalFailure = journal_->failure();
  state.failure = lastFailure_;
  const rig::RoleRig* const engine = described_.openEngine(*rig_);
  state.armedAt = engine != nullptr ? engine->armedAt() : std::nullopt;
  return described_.fromFile() ? describedState(state, described_) : stateOf(state);
}

void RigService::Worker::handle(const Request& request, const Done& done,
                                const QPointer<QObject>& replyTo, const rig::Arming* arming) {
  const bool withdrawn = request.ticket && !request.ticket->start();
  if (!withdrawn && request.ticket && request.ticket->onStart) {
    JobThread::answer(replyTo, request.ticket->onStart);
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
  // Answered before the queue is told empty.
  JobThread::answer(
      replyTo,
      [done, owner = &owner_, toOwner = replyTo.data() == &owner_](Result answer) {
        if (toOwner) answer.state.broker = owner->broker();
        if (done) done(answer);
      },
      std::move(result));
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
        open(request, result);
        break;
      case Action::Flash:
        if (!described_.fromFile() && !request.flash.isEmpty()) {
          throw rig::SerialError(rig::Failure{rig::FailureKind::BadRequest,
                                              std::nullopt,
                                              {},
                                              "this rig has no flashes by name: no rig file "
                                              "describes it"});
        }
        described_.engine(*rig_).flash(request.flash.toStdString());
        break;
      case Action::Shutter:
      case Action::Sequence:
        // Refused before the request counts as running: a stop then finds nothing to stop.
        if (!described_.fromFile() && !request.cameras.empty()) {
          throw rig::SerialError(
              rig::Failure{rig::FailureKind::BadRequest,
                           std::nullopt,
                           {},
                           "this rig has no cameras by name: no rig file describes it"});
        }
        result = shots_.run(request, arming, described_.engine(*rig_), *clock_);
        break;
      case Action::Stop:
      case Action::Disarm:
        // Taken by RigService::submit, never queued.
        break;
    }
  } catch (...) {  // keeps alive: the worker, which answers every request
    // The one place an action's ending becomes its answer's failure. A cut short has been ended
    // soundly by the rig; the commands say how far it got.
    result = failed(request.action, rig::failureOf(std::current_exception()));
    if (result.failure.kind == rig::FailureKind::Stopped) {
      result.message =
          QStringLiteral("%1 stopped early: the program is ending").arg(buttonOf(request.action));
    }
  }
  result.commands = recorder_->take();
  return result;
}

void RigService::Worker::open(const Request& request, Result& result) {
  endWatch();
  std::optional<rig::Failure> failure = opening_(request.port.toStdString(), false);
  if (!failure) return;
  // The status box tells it, "Port Not Found" or "Port Lost", with the reason.
  result.ok = false;
  result.message = QString::fromStdString(failure->reason);
  result.failure = std::move(*failure);
  result.shownInStatus = true;
}

std::optional<rig::Failure> RigService::Worker::openRig(bool again) {
  auto failure = described_.open(*rig_, *clock_, *recorder_, again, [this] {
    // The window follows the flash and the shutter as the two-relay rig tells them.
    const rig::RigState now = current().rig;
    emit owner_.rigChanged(now, rig::Change::Flash);
    emit owner_.rigChanged(now, rig::Change::Shutter);
    report();
  });
  // Boards tell no loss by themselves: looked at between jobs, as a board by name is.
  if (!failure) reconnection_.watchBoards();
  return failure;
}

void RigService::Worker::journal(const Request& request, const Result& result,
                                 std::chrono::system_clock::time_point wallStart) {
  if (journal_) journal_->add(journalLine(request, result, wallStart));
}

}  // namespace service
