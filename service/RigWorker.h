#pragma once

#include <QPointer>
#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "DescribedRig.h"
#include "JobThread.h"
#include "LineRecorder.h"
#include "NamedBoard.h"
#include "Reconnection.h"
#include "RigService.h"
#include "ShotRunner.h"
#include "SleepClock.h"
#include "StateReport.h"

namespace service {

// The service's thread (a JobThread named "rig"). It makes the serial control and the rig when
// it starts and destroys them before it ends, so they live and die on it. It takes its jobs
// (requests and the like) in order, and between jobs it handles the thread's events, where the
// serial control hears of a lost device. A job runs between two rounds of the event loop, never
// inside one: a round's readiness of the port, seen before a job read the port empty, would
// otherwise be acted on after it, and an empty read taken for a hang-up. The shots, the
// reconnection, the described rig and the state's report are rooms of their own.
class RigService::Worker : private Reconnection::Host {
 public:
  // `owner`'s signals are emitted on this thread; `publish` is given each changed state, on
  // the owner's thread; `armed` learns when a request no longer keeps the rig.
  Worker(RigService& owner, std::function<void(const State&)> publish, ArmedWindows& armed,
         SerialFactory makeSerial, ClockFactory makeClock);
  ~Worker() override;
  Worker(const Worker&) = delete;
  Worker& operator=(const Worker&) = delete;

  // Starts the thread and returns once it takes requests.
  void begin() {
    thread_.start([this] { run(); });
  }
  // Lets the running job end (a series after its step in progress), drops the queued ones, and
  // ends the thread.
  void end() {
    shots_.stop();
    thread_.end(JobThread::Queued::Left);
  }

  // Runs `job` on this thread after everything queued before it. A request's job comes with
  // `drop`, which answers it "not run" when the service stops before it starts.
  void post(std::function<void()> job, std::function<void()> drop = nullptr) {
    thread_.post(std::move(job), std::move(drop));
  }
  // Cuts the running request short at its next wait and answers the queued ones "not run".
  void stopRequests();
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
  bool stopShots() { return shots_.stop(); }
  // What the last stopShots reached: its words and how far into the shots, once each.
  std::pair<QString, std::optional<double>> takeStopWords() { return shots_.takeStopWords(); }
  // What a ticket calls to end the wait for its shot at once.
  std::function<void()> waker() const {
    return [wakeup = wakeup_] { wakeup->wake(); };
  }
  void setJournal(std::unique_ptr<Journal> journal) { journal_ = std::move(journal); }
  // The requests queued or running.
  std::atomic<int>& pending() { return pending_; }
  void reportNow() { report(); }
  void withRig(const RigWork& work);
  void useBoard(const rig::BoardName& name, const BoardSourceFactory& makeSource);
  // From now on every opening opens the described rig's boards, and the actions act on its
  // roles; the state names them at once.
  void useRig(rig::RigDescription description, const BoardSourceFactory& makeSource);
  // The operator chose a port, or the panel is closing: the lost module is no longer awaited.
  void endWatch();
  bool shutDown();
  // What the last shutDown commanded, or why it could not.
  const std::string& endWords() const { return endWords_; }

 private:
  // The thread's body: makes the serial control, the clock and the rig, runs the jobs, and
  // unmakes them.
  void run();
  Result execute(const Request& request, const rig::Arming* arming);
  // The request's opening of the rig in use; its failure as the answer.
  void open(const Request& request, Result& result);
  void journal(const Request& request, const Result& result,
               std::chrono::system_clock::time_point wallStart);
  State current() const;
  // Hands the state to the owner when it has changed since last handed.
  void report() override { reporter_.report(current()); }
  void onChange(const rig::RigState& state, rig::Change change);
  // Opens the described rig's boards afresh and resets its lines; the failure, nothing when
  // every board opened. `again`: a lost board is back, and the rig shown reconnected.
  std::optional<rig::Failure> openRig(bool again = false);

  // Reconnection::Host
  bool jobRunning() const override { return running_; }
  bool jobFailed() const override { return failedJob_; }
  void tellLost(const std::string& message) override;
  void queue(std::function<void()> job) override { thread_.post(std::move(job)); }
  std::optional<rig::Failure> runAsJob(const std::function<std::optional<rig::Failure>()>& attempt,
                                       const QString& port) override;
  std::optional<rig::Failure> openAgain() override { return opening_({}, true); }

  RigService& owner_;
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
  std::unique_ptr<Journal> journal_;
  bool usedPort_ = false;    // a job has used the port since the thread's events were last handled
  bool failedJob_ = false;   // a job has failed since then
  std::string lastFailure_;  // the words of the last request's failure, until the next one runs
  StateReporter reporter_;
  std::unique_ptr<NamedBoard> named_;  // --board: what every opening opens
  // The one opening of the rig in use, for a request (`port`: the one it names) and for a lost
  // board that is back (`again`: shown reconnected): the port's by default, the board named by
  // --board, or a rig file's boards. Chosen before requests come.
  std::function<std::optional<rig::Failure>(const std::string& port, bool again)> opening_;
  // The rig in use: the panel's, or with --rig-file the file's. Set before requests come; read
  // by a stop from any thread.
  DescribedRig described_;
  ShotRunner shots_;
  Reconnection reconnection_;
  std::string endWords_;  // shutDown's words
};

}  // namespace service
