#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QEventLoop>
#include <QThread>
#include <QTimer>
#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "service/JobThread.h"

namespace {

using service::JobThread;

TEST(JobThread, RunsInOrderAndHandsResultsBackToTheCallersThread) {
  JobThread thread(QStringLiteral("jobs"), JobThread::Events::Handled);
  thread.start([&thread] { thread.serve(); });
  std::vector<int> order;  // written on the thread only
  for (int n = 1; n <= 3; ++n) thread.post([&order, n] { order.push_back(n); });
  QObject context;
  QEventLoop loop;
  QThread* answeredOn = nullptr;
  std::string answer;
  thread.ask([&thread] { return std::string(thread.current() ? "on the thread" : "elsewhere"); },
             &context,
             [&](std::string result) {
               answer = std::move(result);
               answeredOn = QThread::currentThread();
               loop.quit();
             });
  EXPECT_TRUE(answer.empty()) << "never inside the call";
  QTimer::singleShot(5000, &loop, &QEventLoop::quit);
  loop.exec();
  EXPECT_EQ(answer, "on the thread");
  EXPECT_EQ(answeredOn, QThread::currentThread());
  EXPECT_EQ(order, (std::vector<int>{1, 2, 3}));
}

TEST(JobThread, DroppedJobsAreToldAndTheEndRunsOrLeavesTheQueue) {
  for (const auto queued : {JobThread::Queued::Run, JobThread::Queued::Left}) {
    JobThread thread(QStringLiteral("jobs"), JobThread::Events::None);
    thread.start([&thread] { thread.serve(); });
    std::atomic<bool> release{false};
    std::atomic<int> ran{0};
    std::atomic<int> dropped{0};
    thread.post([&release] {
      while (!release) QThread::yieldCurrentThread();
    });
    thread.post([&ran] { ++ran; }, [&dropped] { ++dropped; });
    thread.post([&ran] { ++ran; });
    for (const auto& drop : thread.dropQueued()) drop();
    EXPECT_EQ(dropped, 1) << "only the job posted with a drop";
    // The running job ends only once the end is asked for: what is left is then decided by
    // `queued`, never by how fast the thread got to it.
    std::thread ender([&thread, queued] { thread.end(queued); });
    while (!thread.ending()) QThread::yieldCurrentThread();
    release = true;
    ender.join();
    EXPECT_EQ(ran, queued == JobThread::Queued::Run ? 1 : 0);
  }
}

}  // namespace
