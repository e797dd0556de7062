#include "Reconnection.h"

#include <QObject>
#include <algorithm>
#include <chrono>

namespace service {

Reconnection::Reconnection(Host& host, const std::unique_ptr<NamedBoard>& named,
                           DescribedRig& described)
    : host_(host), named_(named), described_(described) {}

void Reconnection::begin(rig::Rig& rig, rig::SerialControl& serial, rig::Clock& clock) {
  rig_ = &rig;
  serial_ = &serial;
  clock_ = &clock;
  retry_ = std::make_unique<QTimer>();
  retry_->setSingleShot(true);
  QObject::connect(retry_.get(), &QTimer::timeout, [this] { considerReopening(); });
}

void Reconnection::end() {
  stop();
  boardWatch_.reset();
  retry_.reset();
}

void Reconnection::watchBoards() {
  if (boardWatch_) return;
  boardWatch_ = std::make_unique<QTimer>();
  QObject::connect(boardWatch_.get(), &QTimer::timeout, [this] { watchBoard(); });
  boardWatch_->start(kBoardWatchMs);
}

void Reconnection::stop() {
  reconnector_.stop();
  serial_->stopWatching();
  if (retry_) retry_->stop();
}

void Reconnection::onLoss(const std::string& message, bool metByJob) {
  lostMessage_ = message;
  rig_->showLost(message);
  host_.report();
  if (!metByJob) host_.tellLost(message);
  if (const auto& module = rig_->module()) {
    reconnector_.lose(*module, std::chrono::steady_clock::now());
    serial_->watchDevices([this] { considerReopening(); });
    considerReopening();  // it may be back already
  }
}

void Reconnection::retryAt(const rig::Reconnector::Plan& plan, rig::Reconnector::time_point now) {
  if (!plan.wakeAt) return;
  const auto wait = std::chrono::ceil<std::chrono::milliseconds>(*plan.wakeAt - now);
  retry_->start(std::max<int>(0, static_cast<int>(wait.count())));
}

void Reconnection::considerReopening() {
  if (!reconnector_.watching()) return;
  if ((named_ && !named_->onSerialControl()) || described_.lostBoard()) {
    considerBoard();
    return;
  }
  const rig::PortList ports = serial_->refreshPorts();
  const auto now = std::chrono::steady_clock::now();
  const rig::Reconnector::Plan plan = reconnector_.next(ports, now);
  retryAt(plan, now);
  if (plan.attempt) {
    const rig::DeviceInfo& device = ports.at(static_cast<std::size_t>(*plan.attempt - 1));
    // Queued behind the requests made so far, so it never runs inside or between an action's
    // steps, and only one is ever waiting.
    host_.queue([this, port = *plan.attempt, device] {
      reopen([&] { return rig_->reopen(port, device, lostMessage_); }, QString::number(port));
    });
  }
}

void Reconnection::considerBoard() {
  // Not inside a job (a loss the job met): the board watch asks again after it.
  if (host_.jobRunning()) return;
  // A board by its name: there again when the source finds it.
  const auto now = std::chrono::steady_clock::now();
  const bool present = described_.lostBoard() ? described_.lostIsBack() : named_->findAgain();
  const rig::Reconnector::Plan plan = reconnector_.next({boardIdentity(present)}, now);
  retryAt(plan, now);
  if (plan.attempt) host_.queue([this] { reopenBoard(); });
}

void Reconnection::reopen(const std::function<std::optional<rig::Failure>()>& attempt,
                          const QString& port) {
  if (!reconnector_.watching()) return;  // the operator's own opening came first
  const std::optional<rig::Failure> failure = host_.runAsJob(attempt, port);
  const auto now = std::chrono::steady_clock::now();
  // A module that opened and went away again during its reset counts as reopened: its next
  // loss tells the reconnector that it is flapping.
  if (!failure || failure->kind == rig::FailureKind::DeviceGone) {
    reconnector_.succeeded(now);
    serial_->stopWatching();
    retry_->stop();
  } else {
    reconnector_.failed(now);
    considerReopening();
  }
  host_.report();
}

rig::DeviceInfo Reconnection::boardIdentity(bool present) const {
  rig::DeviceInfo identity;
  const std::optional<rig::RigBoard>& lost = described_.lostBoard();
  identity.path = lost ? lost->board->text() : named_->name().text();
  identity.byPath = true;
  identity.present = present;
  return identity;
}

void Reconnection::watchBoard() {
  // The boards are never looked at, closed or unmade under a job that is using them.
  if (host_.jobRunning()) return;
  if (reconnector_.watching()) {
    considerReopening();
    return;
  }
  if (described_.fromFile()) {
    if (const rig::RigBoard* lost = described_.closeIfLost()) {
      showBoardLost("board " + lost->name + " (" + lost->board->text() + ")");
    }
    return;
  }
  if (named_->lost()) showBoardLost(named_->name().text());
}

void Reconnection::showBoardLost(const std::string& board) {
  // A job that failed since the thread's events were last handled met the loss and told it; one
  // that succeeded did not, though it used the board (the board went just after it).
  const rig::RigState state = rig_->state();
  const std::string message = state.link == rig::Link::Lost && !state.reason.empty()
                                  ? state.reason
                                  : board + ": the board went away";
  lostMessage_ = message;
  rig_->showLost(message);
  host_.report();
  if (!host_.jobFailed()) host_.tellLost(message);
  reconnector_.lose(boardIdentity(false), std::chrono::steady_clock::now());
  considerReopening();
}

void Reconnection::reopenBoard() {
  reopen(
      [this] {
        auto failure = host_.openAgain();
        // Still awaited: the status box keeps "Port Lost", with why the attempt failed.
        if (failure) {
          failure->reason = lostMessage_ + "; reopening failed: " + failure->reason;
          rig_->showLost(failure->reason);
        }
        return failure;
      },
      {});
}

}  // namespace service
