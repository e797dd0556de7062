#pragma once

#include <QMetaObject>
#include <QMutex>
#include <QObject>
#include <QPointer>
#include <QSemaphore>
#include <QString>
#include <QWaitCondition>
#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <type_traits>
#include <utility>
#include <vector>

class QAbstractEventDispatcher;
class QThread;

namespace service {

// A thread of the program's own that runs jobs: posted from any thread, they run on it one at a
// time in the order they came; a job's result goes back to the poster's thread (ask), and the
// jobs still queued can be dropped, each told so. The rig service's thread and the journal's
// writer are JobThreads, named so that tools listing threads show them.
class JobThread {
 public:
  using Job = std::function<void()>;
  // Handled: the thread's own events (timers, device notices) are handled between jobs, and it
  // sleeps in the event dispatcher; None: it sleeps until a job comes.
  enum class Events { None, Handled };
  // At the end, what is queued is run first, or left unrun (and not told).
  enum class Queued { Run, Left };

  JobThread(QString name, Events events);
  // Ends as end(Queued::Left) when still running.
  ~JobThread();
  JobThread(const JobThread&) = delete;
  JobThread& operator=(const JobThread&) = delete;

  // Starts the thread, which runs `body`: it makes what lives on the thread, calls serve(), and
  // unmakes it when serve() returns. Returns once serve() has begun.
  void start(std::function<void()> body);
  // Called by the body, on the thread: runs the jobs until the end is asked for, `afterRound`
  // after each job (and each round of the thread's events).
  void serve(const Job& afterRound = nullptr);
  // Asks the running job to be the last (what is queued is run first with Queued::Run) and
  // waits for the thread to end.
  void end(Queued queued);

  // Runs `job` after every job posted before it. A job posted with `drop` may be dropped before
  // it starts (dropQueued): then `drop` is called instead.
  void post(Job job, Job drop = nullptr);
  // Posts `job` and waits until it has run. Never from the thread itself.
  void call(const Job& job);
  // Runs `work` in its turn and hands its result (none for a void one) to `then` on the event
  // loop of `context`'s thread, never inside this call; not at all when `context` is gone.
  template <typename Work, typename Then>
  void ask(Work work, QObject* context, Then then);
  // How every answer goes back to whoever asked: `then`, with `value` when there is one, on the
  // event loop of `context`'s thread, never inside this call; not at all when `context` is gone.
  // A job that must answer before it ends (and tell more after) calls it itself.
  template <typename Then, typename... Value>
  static void answer(const QPointer<QObject>& context, Then then, Value... value);
  // Takes every queued job that has a drop out of the queue; their drops, to be called.
  std::vector<Job> dropQueued();
  // Whether the caller runs on this thread.
  bool current() const;
  // Whether the end has been asked for: a long job may look at it to cut itself short.
  bool ending() const;

 private:
  struct Posted {
    Job run;
    Job drop;
  };
  // Wakes the thread to look at its queue; called with mutex_ held.
  void wakeLocked();

  const Events events_;
  const QString name_;
  std::unique_ptr<QThread> thread_;
  QSemaphore serving_;
  mutable QMutex mutex_;                            // guards jobs_, ending_ and dispatcher_
  QAbstractEventDispatcher* dispatcher_ = nullptr;  // with Events::Handled, while serving
  QWaitCondition posted_;
  std::deque<Posted> jobs_;
  enum class Ending { No, AfterQueue, Now } ending_ = Ending::No;
};

template <typename Then, typename... Value>
void JobThread::answer(const QPointer<QObject>& context, Then then, Value... value) {
  if (!context) return;
  QMetaObject::invokeMethod(
      context.data(),
      [then = std::move(then), ... value = std::move(value)]() mutable {
        then(std::move(value)...);
      },
      Qt::QueuedConnection);
}

template <typename Work, typename Then>
void JobThread::ask(Work work, QObject* context, Then then) {
  post([work = std::move(work), context = QPointer<QObject>(context),
        then = std::move(then)]() mutable {
    if constexpr (std::is_void_v<decltype(work())>) {
      work();
      answer(context, std::move(then));
    } else {
      answer(context, std::move(then), work());
    }
  });
}

}  // namespace service
