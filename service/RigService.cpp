#include "RigService.h"

#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <QEvent>
#include <QEventLoop>
#include <QMetaObject>
#include <QMetaType>
#include <QMutex>
#include <QPointer>
#include <QSemaphore>
#include <QThread>
#include <QTimer>
#include <chrono>
#include <deque>
#include <exception>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#ifdef __linux__
#include <pthread.h>
#include <sched.h>
#endif

#include "rig/Arming.h"
#include "rig/Protocol.h"
#include "rig/Reconnector.h"
#include "rig/Rig.h"

namespace service {

namespace {

// Steady time, and waits that sleep the service's thread and run nothing else: loss notices and
// every other event wait for the end of the job. A long wait wakes once, shortly before its end,
// for the serial control to take in what reached the port meanwhile and note that it came: the
// rig waits for a quiet line before each question, and so sees that the echoes and prompts after
// its last command came long ago. The last stretch is slept out to the microsecond (a pause is
// the length of a shutter pulse).
class SleepClock : public rig::Clock {
 public:
  explicit SleepClock(rig::SerialControl& serial) : serial_(serial) {}

  time_point now() const override { return std::chrono::steady_clock::now(); }
  void waitUntil(time_point deadline) override {
    lowerPriority();
    if (deadline - now() > kTakeInBefore) {
      std::this_thread::sleep_until(deadline - kTakeInBefore);
      serial_.takeIn();
    }
    std::this_thread::sleep_until(deadline);
  }
  // An armed shot's last stretch: spun, at a real-time priority where the system allows it, kept
  // through the shot's write until the next wait, so nothing else runs in between.
  void spinUntil(time_point deadline) override {
    raisePriority();
    // Slept at that priority up to the last moment (no timer slack, and it takes a core from
    // ordinary work at once), so that rigs sharing a machine do not hog its cores spinning.
    if (deadline - now() > kSpinOnly) std::this_thread::sleep_until(deadline - kSpinOnly);
    while (now() < deadline) {
    }
  }

 private:
  void raisePriority() {
#ifdef __linux__
    if (raised_) return;
    sched_param param{};
    if (pthread_getschedparam(pthread_self(), &policy_, &saved_) != 0) return;
    param.sched_priority = sched_get_priority_min(SCHED_FIFO) + 1;
    raised_ = pthread_setschedparam(pthread_self(), SCHED_FIFO, &param) == 0;
#endif
  }
  void lowerPriority() {
#ifdef __linux__
    if (!raised_) return;
    pthread_setschedparam(pthread_self(), policy_, &saved_);
    raised_ = false;
#endif
  }

#ifdef __linux__
  bool raised_ = false;
  int policy_ = SCHED_OTHER;
  sched_param saved_{};
#endif
  // More than the quiet the rig waits for before a question (20 ms).
  static constexpr auto kTakeInBefore = std::chrono::milliseconds(25);
  // The stretch spun: more than a real-time thread's wake-up takes on a busy machine.
  static constexpr auto kSpinOnly = std::chrono::microseconds(200);
  rig::SerialControl& serial_;
};

// Notes every command put on the line, with its time from the start of the running action.
class Recorder : public rig::ForwardingSerialControl {
 public:
  Recorder(rig::SerialControl& inner, const rig::Clock& clock)
      : ForwardingSerialControl(inner), clock_(clock) {}

  void begin() {
    start_ = clock_.now();
    commands_.clear();
  }
  std::vector<TimedCommand> take() { return std::exchange(commands_, {}); }

  void output(std::string_view text) override {
    // Stamped as it is handed to the line; kept only once it is there.
    const auto at = clock_.now();
    const auto real = clock_.realNow();
    ForwardingSerialControl::output(text);
    while (!text.empty() && (text.back() == '\r' || text.back() == '\n')) text.remove_suffix(1);
    commands_.push_back({std::chrono::duration<double>(at - start_).count(),
                         QString::fromStdString(std::string(text)), real});
  }

 private:
  const rig::Clock& clock_;
  rig::Clock::time_point start_{};
  std::vector<TimedCommand> commands_;
};

// What every channel sees alike: the hidden boxes' replies alone are no change of the state.
bool sameState(const State& a, const State& b) {
  return a.port == b.port && a.device == b.device && a.open == b.open && a.busy == b.busy &&
         a.status == b.status && a.statusTip == b.statusTip && a.flash == b.flash &&
         a.shutter == b.shutter && a.armedAt == b.armedAt;
}

}  // namespace

// The service's thread. It makes the serial control and the rig when it starts
// and destroys them before it ends, so they live and die on it. It takes its jobs (requests and
// the like) from a queue of its own, in order, and between jobs it handles the thread's events,
// where the serial control hears of a lost device. A job runs between two rounds of the event
// loop, never inside one: a round's readiness of the port, seen before a job read the port
// empty, would otherwise be acted on after it, and an empty read taken for a hang-up.
class RigService::Worker : public QThread {
 public:
  Worker(RigService& owner, SerialFactory makeSerial, ClockFactory makeClock)
      : owner_(owner), makeSerial_(std::move(makeSerial)), makeClock_(std::move(makeClock)) {}

  // Starts the thread and returns once it takes requests.
  void begin() {
    start();
    ready_.acquire();
  }

  // Lets the running job end, drops the queued ones, and ends the thread.
  void end() {
    {
      const QMutexLocker lock(&mutex_);
      stopping_ = true;
    }
    dispatcher_->wakeUp();
    wait();
  }

  // Runs `job` on this thread after everything queued before it.
  void post(std::function<void()> job) {
    {
      const QMutexLocker lock(&mutex_);
      jobs_.push_back(std::move(job));
    }
    dispatcher_->wakeUp();
  }
  // The same, and waits for it to have run.
  void postAndWait(const std::function<void()>& job) {
    QSemaphore done;
    post([&job, &done] {
      job();
      done.release();
    });
    done.acquire();
  }

  void handle(const Request& request, const Done& done, const QPointer<QObject>& replyTo,
              const rig::Arming* arming);
  void withSerial(const std::function<void(rig::SerialControl&)>& work) {
    usedPort_ = true;
    work(*serial_);
    report();
  }
  // The operator chose a port, or the panel is closing: the lost module is no longer awaited.
  void endWatch() {
    reconnector_.stop();
    serial_->stopWatching();
    if (retry_ != nullptr) retry_->stop();
  }
  bool shutDown() {
    endWatch();
    try {
      if (serial_->portOpen()) {
        rig_->sendRelayCommand(rig::protocol::switchCommand(rig::protocol::kShutterRelay, false));
        return true;
      }
    } catch (const std::exception&) {
      // The line is gone: nothing more can be commanded.
    }
    return false;
  }

 protected:
  void run() override;

 private:
  Result execute(const Request& request, const rig::Arming* arming);
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

  RigService& owner_;
  SerialFactory makeSerial_;
  ClockFactory makeClock_;
  QSemaphore ready_;
  QAbstractEventDispatcher* dispatcher_ = nullptr;
  QMutex mutex_;  // guards jobs_ and stopping_
  std::deque<std::function<void()>> jobs_;
  bool stopping_ = false;

  // The service thread's own, set while it runs.
  rig::SerialControl* serial_ = nullptr;
  Recorder* recorder_ = nullptr;
  rig::Rig* rig_ = nullptr;
  bool running_ = false;
  bool usedPort_ = false;  // a job has used the port since the thread's events were last handled
  State reported_;
  bool reportedOnce_ = false;
  rig::Reconnector reconnector_;
  std::string lostMessage_;
  QTimer* retry_ = nullptr;  // wakes the reconnector at the time it asked for
};

void RigService::Worker::run() {
  const std::unique_ptr<rig::SerialControl> serial = makeSerial_();
  makeSerial_ = nullptr;
  const std::unique_ptr<rig::Clock> ownClock =
      makeClock_ ? makeClock_(*serial) : std::make_unique<SleepClock>(*serial);
  makeClock_ = nullptr;
  rig::Clock& clock = *ownClock;
  Recorder recorder(*serial, clock);
  rig::Rig rig(recorder, clock);
  serial_ = serial.get();
  recorder_ = &recorder;
  rig_ = &rig;
  dispatcher_ = QAbstractEventDispatcher::instance();

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
  ready_.release();

  for (;;) {
    std::function<void()> job;
    {
      const QMutexLocker lock(&mutex_);
      if (stopping_) break;
      if (!jobs_.empty()) {
        job = std::move(jobs_.front());
        jobs_.pop_front();
      }
    }
    if (job) job();
    // What came in meanwhile is handled; with no job, the thread sleeps until something comes
    // (a job posted since the queue was looked at has woken the dispatcher already).
    dispatcher_->processEvents(job ? QEventLoop::AllEvents : QEventLoop::WaitForMoreEvents);
    usedPort_ = false;
  }

  endWatch();
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
  if (!reconnector_.watching()) return;  // the operator's own opening came first
  running_ = true;
  report();
  recorder_->begin();
  const auto failure = rig_->reopen(port, device, lostMessage_);
  static_cast<void>(recorder_->take());
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

void RigService::Worker::onChange(const rig::RigState& state, rig::Change change) {
  emit owner_.rigChanged(state, change);
  report();
}

State RigService::Worker::current() const {
  rig::RigState state = rig_->state();
  state.busy = running_ || owner_.pending_ > 0;
  return stateOf(state);
}

void RigService::Worker::report() {
  const State state = current();
  if (reportedOnce_ && sameState(state, reported_)) return;
  reported_ = state;
  reportedOnce_ = true;
  QMetaObject::invokeMethod(
      &owner_, [owner = &owner_, state] { owner->publish(state); }, Qt::QueuedConnection);
}

void RigService::Worker::handle(const Request& request, const Done& done,
                                const QPointer<QObject>& replyTo, const rig::Arming* arming) {
  // Asking for the state changes nothing, so it does not count as running.
  running_ = request.action != Action::Status;
  usedPort_ = usedPort_ || running_;
  report();
  Result result = execute(request, arming);
  running_ = false;
  const bool last = --owner_.pending_ == 0;
  report();
  result.state = current();
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
      case Action::Status: {
        const QMutexLocker lock(&owner_.armedMutex_);
        result.clock = owner_.clockStatus_();
        break;
      }
      case Action::Disarm:
        break;
      case Action::Open:
        endWatch();
        if (const auto kind = rig_->openComPort(request.port.toStdString())) {
          // The status box tells it, "Port Not Found" or "Port Lost", with the reason.
          const rig::RigState state = rig_->state();
          result.ok = false;
          result.failure = {*kind, state.port, state.device, state.reason};
          result.shownInStatus = true;
          result.message = QString::fromStdString(state.reason);
        }
        break;
      case Action::Flash:
        rig_->toggleFlash();
        break;
      case Action::Shutter:
        rig_->pulseShutter(arming);
        break;
      case Action::Sequence:
        rig_->runTwoShotSequence(arming);
        break;
    }
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

// ---- RigService ----

RigService::RigService(SerialFactory makeSerial, QObject* parent)
    : RigService(std::move(makeSerial), nullptr, parent) {}

RigService::RigService(SerialFactory makeSerial, ClockFactory makeClock, QObject* parent)
    : RigHost(parent) {
  qRegisterMetaType<rig::RigState>();
  qRegisterMetaType<rig::Change>();
  qRegisterMetaType<service::State>();
  worker_ = std::make_unique<Worker>(*this, std::move(makeSerial), std::move(makeClock));
  worker_->begin();
  // The state the worker reported on starting is the first one there is.
  QCoreApplication::sendPostedEvents(this, QEvent::MetaCall);
}

RigService::RigService(std::unique_ptr<rig::SerialControl> serial, ClockFactory makeClock,
                       QObject* parent)
    : RigService([held = std::make_shared<std::unique_ptr<rig::SerialControl>>(
                      std::move(serial))] { return std::move(*held); },
                 std::move(makeClock), parent) {}

RigService::~RigService() {
  // An armed shot would keep the end waiting until its time; a service that ends fires none.
  ++disarms_;
  worker_->end();
}

namespace {

// How long an action keeps the rig, roughly, from its first command: what an armed shot after
// it must leave free. The pauses, and the queries at 9600 baud.
std::chrono::milliseconds nominalLength(Action action) {
  using namespace std::chrono_literals;
  switch (action) {
    case Action::Status:
    case Action::Disarm:
      return 0ms;
    case Action::Flash:
      return 100ms;
    case Action::Shutter:
      return 600ms;
    case Action::Open:
      return 1000ms;
    case Action::Sequence:
      return 3000ms;
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

std::optional<rig::Failure> RigService::refusal(const Request& request) {
  using namespace std::chrono;
  const auto now = system_clock::now();
  const auto notFired = [](rig::FailureKind kind, const char* reason) {
    return rig::Failure{kind, std::nullopt, {}, reason};
  };
  const auto at = request.shot->at;
  if (at <= now) return notFired(rig::FailureKind::TooLate, "the shot's time has passed");
  if (at > now + hours(1)) {
    return notFired(rig::FailureKind::TooFarAhead, "the shot's time is more than an hour ahead");
  }
  const QMutexLocker lock(&armedMutex_);
  if (!request.shot->localClock && !clockStatus_().synchronized) {
    return notFired(rig::FailureKind::ClockUnsynchronized,
                    "the system clock is not synchronized (\"clock\": \"local\" fires on it "
                    "all the same)");
  }
  const auto from = at - duration_cast<system_clock::duration>(rig::kArmingLead);
  const auto to = at + nominalLength(request.action);
  if (runningUntil_ && *runningUntil_ > from) {
    return notFired(rig::FailureKind::Conflict, "the running action would not have ended");
  }
  for (const Window& window : armed_) {
    if (window.from < to && from < window.to) {
      return notFired(rig::FailureKind::Conflict, "another armed action keeps the rig then");
    }
  }
  return std::nullopt;
}

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
  const QMutexLocker lock(&armedMutex_);
  clockStatus_ = std::move(source);
}

void RigService::submit(const Request& request, Done done) {
  if (request.action == Action::Disarm) {
    ++disarms_;
    answerAtOnce(request, Result{}, done);
    return;
  }
  std::uint64_t ticket = 0;
  if (request.shot) {
    if (const auto failure = refusal(request)) {
      answerAtOnce(request, failed(request.action, *failure), done);
      return;
    }
    const QMutexLocker lock(&armedMutex_);
    ticket = ++tickets_;
    armed_.push_back(
        {ticket,
         request.shot->at -
             std::chrono::duration_cast<std::chrono::system_clock::duration>(rig::kArmingLead),
         request.shot->at + nominalLength(request.action)});
  }
  ++pending_;
  worker_->post(
      [this, request, done = std::move(done), replyTo = callersThread(this), ticket,
       disarmsMade = disarms_.load()] { runQueued(request, done, replyTo, ticket, disarmsMade); });
}

void RigService::runQueued(const Request& request, const Done& done,
                           const QPointer<QObject>& replyTo, std::uint64_t ticket,
                           unsigned disarmsMade) {
  if (!request.shot) {
    const QMutexLocker lock(&armedMutex_);
    runningUntil_ = std::chrono::system_clock::now() + nominalLength(request.action);
  }
  std::optional<rig::Arming> arming;
  if (request.shot) {
    arming = rig::Arming{request.shot->at,
                         [this, disarmsMade] { return disarms_.load() != disarmsMade; }};
  }
  worker_->handle(request, done, replyTo, arming ? &*arming : nullptr);
  const QMutexLocker lock(&armedMutex_);
  runningUntil_.reset();
  std::erase_if(armed_, [ticket](const Window& window) { return window.ticket == ticket; });
}

State RigService::state() const {
  State state = state_;
  state.broker = broker();
  return state;
}

bool RigService::busy() const { return pending_ > 0; }

void RigService::endWatch() {
  worker_->post([worker = worker_.get()] { worker->endWatch(); });
}

bool RigService::shutDown() {
  ++disarms_;  // as for the end: no armed shot fires after it was asked for
  bool sent = false;
  worker_->postAndWait([worker = worker_.get(), &sent] { sent = worker->shutDown(); });
  return sent;
}

void RigService::withSerial(const std::function<void(rig::SerialControl&)>& work) {
  // What `work` throws would end the service's thread: it is handed to the caller instead.
  std::exception_ptr failure;
  worker_->postAndWait([worker = worker_.get(), &work, &failure] {
    try {
      worker->withSerial(work);
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
  const QString button = buttonOf(request.action);
  return Warning{QStringLiteral("%1 failed").arg(button),
                 QStringLiteral("\"%1\" stopped at a failing step.\n\n%2")
                     .arg(button, failureDetails(result.failure))};
}

}  // namespace service
