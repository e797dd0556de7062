#include "RigService.h"

#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <QEvent>
#include <QMetaType>
#include <QPointer>
#include <QThread>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <exception>
#include <memory>
#include <utility>

#include "ArmedStart.h"
#include "JobThread.h"
#include "RigWorker.h"
#include "StateReport.h"

namespace service {

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
  // Every channel sees the file's rig from now on, before its first opening: the state the
  // worker reported is taken now, not after the callers' next requests.
  QCoreApplication::sendPostedEvents(this, QEvent::MetaCall);
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
  JobThread::answer(
      callersThread(this),
      [done](const Result& answer) {
        if (done) done(answer);
      },
      std::move(result));
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
    JobThread::answer(
        replyTo,
        [done](const Result& answer) {
          if (done) done(answer);
        },
        result);
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
  return armingOf(request);
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
    } catch (...) {  // keeps alive: the rig thread
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
