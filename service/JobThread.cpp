#include "JobThread.h"

#include <QAbstractEventDispatcher>
#include <QEventLoop>
#include <QMutexLocker>
#include <QThread>

namespace service {

JobThread::JobThread(QString name, Events events) : events_(events), name_(std::move(name)) {}

JobThread::~JobThread() { end(Queued::Left); }

void JobThread::start(std::function<void()> body) {
  thread_.reset(QThread::create([this, body = std::move(body)] {
    body();
    // A body that ended without serving must not leave start() waiting.
    serving_.release();
  }));
  thread_->setObjectName(name_);
  thread_->start();
  serving_.acquire();
}

void JobThread::serve(const Job& afterRound) {
  if (events_ == Events::Handled) {
    const QMutexLocker lock(&mutex_);
    dispatcher_ = QAbstractEventDispatcher::instance();
  }
  serving_.release();
  for (;;) {
    Job job;
    {
      QMutexLocker lock(&mutex_);
      if (events_ == Events::None) {
        while (ending_ == Ending::No && jobs_.empty()) posted_.wait(&mutex_);
      }
      if (ending_ == Ending::Now || (ending_ == Ending::AfterQueue && jobs_.empty())) {
        // The dispatcher goes with the thread: nothing wakes it from now on.
        dispatcher_ = nullptr;
        break;
      }
      if (!jobs_.empty()) {
        job = std::move(jobs_.front().run);
        jobs_.pop_front();
      }
    }
    if (job) job();
    // What came in meanwhile is handled; with no job, the thread sleeps until something comes
    // (a job posted since the queue was looked at has woken the dispatcher already).
    if (events_ == Events::Handled) {
      QAbstractEventDispatcher::instance()->processEvents(job ? QEventLoop::AllEvents
                                                              : QEventLoop::WaitForMoreEvents);
    }
    if (afterRound) afterRound();
  }
}

void JobThread::end(Queued queued) {
  if (!thread_ || thread_->isFinished()) return;
  {
    const QMutexLocker lock(&mutex_);
    ending_ = queued == Queued::Run ? Ending::AfterQueue : Ending::Now;
    wakeLocked();
  }
  thread_->wait();
}

void JobThread::post(Job job, Job drop) {
  const QMutexLocker lock(&mutex_);
  jobs_.push_back({std::move(job), std::move(drop)});
  wakeLocked();
}

void JobThread::call(const Job& job) {
  QSemaphore done;
  post([&job, &done] {
    job();
    done.release();
  });
  done.acquire();
}

std::vector<JobThread::Job> JobThread::dropQueued() {
  std::vector<Job> dropped;
  const QMutexLocker lock(&mutex_);
  for (auto it = jobs_.begin(); it != jobs_.end();) {
    if (it->drop) {
      dropped.push_back(std::move(it->drop));
      it = jobs_.erase(it);
    } else {
      ++it;
    }
  }
  return dropped;
}

bool JobThread::current() const { return QThread::currentThread() == thread_.get(); }

bool JobThread::ending() const {
  const QMutexLocker lock(&mutex_);
  return ending_ != Ending::No;
}

void JobThread::wakeLocked() {
  posted_.wakeAll();
  // Set from the start of serving to its end, under the lock held here.
  if (dispatcher_ != nullptr) dispatcher_->wakeUp();
}

}  // namespace service
