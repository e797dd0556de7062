#pragma once

#include <QString>
#include <QTimer>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "DescribedRig.h"
#include "NamedBoard.h"
#include "boards/text/Rig.h"
#include "rig/Failure.h"
#include "rig/Reconnector.h"
#include "rig/SerialControl.h"

namespace service {

// The rig service's watch for a lost board and its reopening: the module on the opened port
// (its loss told by the serial control, its return by the device watcher), a board named by
// --board that is no text module, and a rig file's boards (both looked at between jobs). A lost
// one shows "Port Lost" and is reopened, queued like a request, when it is back. Lives on the
// service's thread.
class Reconnection {
 public:
  // What the reconnection needs of the service's thread.
  class Host {
   public:
    virtual ~Host() = default;
    // Whether a job runs now (the boards are then not looked at).
    virtual bool jobRunning() const = 0;
    // Whether a job failed since the thread's events were last handled (it told the loss).
    virtual bool jobFailed() const = 0;
    virtual void report() = 0;
    // Tells the loss to the service's owner.
    virtual void tellLost(const std::string& message) = 0;
    // Queues `job` behind the requests made so far.
    virtual void queue(std::function<void()> job) = 0;
    // Runs `attempt` as a job of its own (an opening from the reconnection, journalled, `port`
    // empty for a board); the attempt's failure, if any.
    virtual std::optional<rig::Failure> runAsJob(
        const std::function<std::optional<rig::Failure>()>& attempt, const QString& port) = 0;
    // Opens the rig in use afresh now that its lost board is back (the board named by --board,
    // or a rig file's boards), shown reconnected; the failure, if any.
    virtual std::optional<rig::Failure> openAgain() = 0;
  };

  // `named` and `described` are the service's, set before requests come.
  Reconnection(Host& host, const std::unique_ptr<NamedBoard>& named, DescribedRig& described);

  // On the service's thread, once its rig and control are made; end() before they go.
  void begin(rig::Rig& rig, rig::SerialControl& serial, rig::Clock& clock);
  void end();
  // The boards tell no loss by themselves: from now on they are looked at between jobs.
  void watchBoards();
  // Stops awaiting a lost board (the operator opens one, or the window is closing).
  void stop();

  // The open port's device went away: "Port Lost", and the watch for its module begins.
  // `metByJob`: a job that used the port has run into it already and reported it.
  void onLoss(const std::string& message, bool metByJob);

 private:
  // A device may have come or gone (or a retry is due): asks the reconnector what to do.
  void considerReopening();
  // Asks the reconnector about a board awaited by its name.
  void considerBoard();
  // Wakes the reconnector again at the time it asked for.
  void retryAt(const rig::Reconnector::Plan& plan, rig::Reconnector::time_point now);
  // Runs one reopening attempt, queued like a request, and tells the reconnector how it went.
  void reopen(const std::function<std::optional<rig::Failure>()>& attempt, const QString& port);
  // The named board or a rig file's board: lost since the last look? Or, while awaited, back?
  void watchBoard();
  // "Port Lost" for `board` (its name in words), told once, and the board awaited by its name.
  void showBoardLost(const std::string& board);
  // The reopening of the named board, or of the described rig whose board is back.
  void reopenBoard();
  // The identity the reconnector awaits for a board: its name.
  rig::DeviceInfo boardIdentity(bool present) const;
  // How often the boards are looked at between jobs.
  static constexpr int kBoardWatchMs = 250;

  Host& host_;
  const std::unique_ptr<NamedBoard>& named_;
  DescribedRig& described_;
  rig::Rig* rig_ = nullptr;
  rig::SerialControl* serial_ = nullptr;
  rig::Clock* clock_ = nullptr;
  rig::Reconnector reconnector_;
  std::string lostMessage_;
  std::unique_ptr<QTimer> retry_;       // wakes the reconnector at the time it asked for
  std::unique_ptr<QTimer> boardWatch_;  // looks at the boards between jobs
};

}  // namespace service
