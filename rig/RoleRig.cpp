#include "RoleRig.h"

#include <algorithm>
#include <bit>
#include <chrono>
#include <set>
#include <utility>

#include "Arming.h"
#include "Failure.h"

namespace rig {

namespace {

using namespace std::chrono_literals;

// Holds (pulses, pauses) last this much longer than asked: a board never counts less than the
// hold between two commands that reach it a little unevenly.
constexpr auto kDeliveryMargin = 500us;
// A wait longer than this (a bulb) looks at every board every kBoardLook: a board unplugged
// during an exposure ends it on every board that soon, not when the exposure would have ended.
constexpr auto kWatchedWait = 600ms;
constexpr auto kBoardLook = 250ms;
// A group of several lines is prepared this long before its command (a board may read its relays
// first): more than a reading's round trip at 9600 baud, about 35 ms.
constexpr auto kPrepareAhead = 100ms;

RelayMask bitOf(int relay) { return RelayMask{1} << relay; }

}  // namespace

RoleRig::RoleRig(RigDescription description, RigBoards boards, Clock& clock)
    : description_(std::move(description)), clock_(clock) {
  for (const RigBoard& board : description_.boards) {
    const auto found = boards.find(board.name);
    if (found == boards.end() || found->second == nullptr) {
      throw failed(FailureKind::NotOpen, "board " + board.name + " is not open");
    }
    boards_.push_back({board.name, found->second});
  }
  // A description made in code has not been through the rig file's checks: one line for one
  // role only, so that no action switches another role's line.
  std::set<std::pair<std::size_t, int>> used;
  const auto use = [&](const RelayLine& line, const std::string& role) {
    const Line found = lineOf(line);
    if (line.relay < 0 || line.relay >= kMostRelays ||
        !used.emplace(found.board, line.relay).second) {
      throw failed(FailureKind::Other, role + ": " + line.text() + " is no line of its own");
    }
  };
  for (const RigCamera& camera : description_.cameras) {
    use(camera.shutter, "camera " + camera.name + "'s shutter");
    if (camera.focus) use(*camera.focus, "camera " + camera.name + "'s focus");
    state_.cameras.push_back(
        {camera.name, LineState::Unknown,
         camera.focus ? std::optional<LineState>(LineState::Unknown) : std::nullopt});
  }
  for (const RigFlash& flash : description_.flashes) {
    use(flash.line, "flash " + flash.name + "'s line");
    state_.flashes.push_back({flash.name, LineState::Unknown});
  }
  // Step by step, every shutter switches at the shot itself: there is no timeline for a lead.
  for (const RigCamera& camera : description_.cameras) {
    if (description_.manner.stepwise && (camera.focus || camera.delay.count() != 0)) {
      throw failed(FailureKind::Other,
                   "camera " + camera.name + ": a rig run step by step has no focus or delay");
    }
  }
}

Timings RoleRig::timings() const {
  Timings timings;
  timings.pulse = description_.timings.pulse;
  timings.pause = description_.timings.pause;
  return timings;
}

RoleRig::Line RoleRig::lineOf(const RelayLine& line) const {
  for (std::size_t i = 0; i < boards_.size(); ++i) {
    if (boards_[i].name == line.board) return {i, line.relay};
  }
  throw failed(FailureKind::Other,
               line.text() + " names the board '" + line.board + "', which the rig does not have");
}

template <typename Call>
auto RoleRig::onBoard(std::size_t index, Call&& call) -> decltype(call(std::declval<Board&>())) {
  Board& board = *boards_[index].board;
  // The two-relay module's failures name its port and device, as the panel has always told them.
  if (description_.manner.stepwise) return call(board);
  // The rig file's name for the board, and its own unless its words start with it already.
  const auto named = [&](const std::string& what) {
    const std::string own = board.name().text();
    return "board " + boards_[index].name + (what.starts_with(own + ":") ? "" : " (" + own + ")") +
           ": " + what;
  };
  try {
    return call(board);
  } catch (const SerialError& error) {
    throw failed(error.kind(), named(error.what()), board.name().text());
  } catch (const CutShort&) {
    throw;  // a cut short is no board's failure
  } catch (const std::exception& error) {
    throw failed(FailureKind::Other, named(error.what()), board.name().text());
  }
}

void RoleRig::tell() {
  if (observer_) observer_(state_);
}

std::vector<RoleRig::Hold> RoleRig::holdsOf(const std::vector<std::string>& cameras,
                                            const Timings& timings) {
  // A bulb is held an hour at most: a longer hold is a mistake, not an exposure.
  if (timings.pulse <= Clock::duration{} || timings.pulse > kLongestPulse) {
    throw failed(FailureKind::BadRequest,
                 "a shutter pulse is held for more than 0 and up to an hour");
  }
  for (const std::string& name : cameras) {
    const bool known = std::any_of(description_.cameras.begin(), description_.cameras.end(),
                                   [&](const RigCamera& c) { return c.name == name; });
    if (!known) {
      std::string words = "the rig has no camera named '" + name + "' (its cameras: ";
      for (std::size_t i = 0; i < description_.cameras.size(); ++i) {
        words += i == 0 ? "" : ", ";
        words += description_.cameras[i].name;
      }
      throw failed(FailureKind::BadRequest, words + ")");
    }
  }
  const Clock::duration lead = description_.timings.focus;
  std::vector<Hold> holds;
  for (std::size_t i = 0; i < description_.cameras.size(); ++i) {
    const RigCamera& camera = description_.cameras[i];
    if (!cameras.empty() && std::find(cameras.begin(), cameras.end(), camera.name) == cameras.end())
      continue;
    const Clock::duration on = camera.delay;
    const Clock::duration off = on + timings.pulse + kDeliveryMargin;
    holds.push_back({lineOf(camera.shutter), on, off, &state_.cameras[i].shutter});
    // The half-press from the focus lead ahead of the shot until the camera's shutter opens.
    if (camera.focus)
      holds.push_back({lineOf(*camera.focus), -lead, off, &*state_.cameras[i].focus});
  }
  return holds;
}

std::vector<RoleRig::Group> RoleRig::groupsOf(const std::vector<Hold>& holds) {
  std::vector<Group> groups;
  const auto add = [&](Clock::duration at, const Hold& hold, bool on) {
    auto group = std::find_if(groups.begin(), groups.end(), [&](const Group& g) {
      return g.at == at && g.board == hold.line.board;
    });
    if (group == groups.end())
      group = groups.insert(groups.end(), Group{at, hold.line.board, 0, 0, {}});
    group->which |= bitOf(hold.line.relay);
    if (on) group->on |= bitOf(hold.line.relay);
    group->lines.emplace_back(hold.line.relay, hold.state);
  };
  for (const Hold& hold : holds) {
    add(hold.on, hold, true);
    add(hold.off, hold, false);
  }
  // In time; within a moment, by board in the description's order.
  std::stable_sort(groups.begin(), groups.end(), [](const Group& a, const Group& b) {
    return a.at != b.at ? a.at < b.at : a.board < b.board;
  });
  return groups;
}

Clock::duration RoleRig::leadOf(const Group& group) const {
  // The group goes as one call: its command's time, which for several relays may be longer
  // than one relay's.
  return boards_[group.board].board->groupLead(group.which, group.on);
}

void RoleRig::startGroup(const Group& group, std::vector<const Group*>& started) {
  try {
    onBoard(group.board, [&](Board& board) {
      if (!switchedInTurn(board, group)) board.startSwitch(group.which, group.on);
    });
  } catch (...) {  // passes on, the started boards awaited
    // No more commands of this moment go out: the priority raised for them goes back before the
    // waits for the answers.
    clock_.spinDone();
    // The boards started before it still answer: awaited, then this failure goes on.
    note(group, false);
    const std::exception_ptr failure = std::current_exception();
    try {
      finishGroups(started);
    } catch (...) {  // keeps alive: the first failure
    }
    std::rethrow_exception(failure);
  }
  started.push_back(&group);
}

void RoleRig::finishGroups(const std::vector<const Group*>& started) {
  std::exception_ptr failure;
  for (const Group* group : started) {
    try {
      onBoard(group->board, [](Board& board) { board.finishSwitch(); });
      note(*group, true);
    } catch (...) {  // keeps alive: the other boards' answers
      note(*group, false);
      if (!failure) failure = std::current_exception();
    }
  }
  tell();
  if (failure) std::rethrow_exception(failure);
}

void RoleRig::sendGroup(const Group& group) {
  onBoard(group.board, [&](Board& board) {
    // Step by step, one line goes as the board's own command for one relay.
    if (description_.manner.stepwise && std::has_single_bit(group.which)) {
      board.switchRelay(std::countr_zero(group.which), (group.on & group.which) != 0);
    } else if (!switchedInTurn(board, group)) {
      board.switchRelays(group.which, group.on);
    }
  });
}

bool RoleRig::switchedInTurn(Board& board, const Group& group) const {
  if (board.abilities().switchMany) return false;
  // Only focus lines switched with other lines have an order to keep.
  const auto focus = std::count_if(group.lines.begin(), group.lines.end(),
                                   [this](const auto& line) { return isFocus(line.second); });
  if (focus == 0 || static_cast<std::size_t>(focus) == group.lines.size()) return false;
  // Each relay and whether it is a focus line's, from the lowest as the board would take them;
  // then each focus line before the lines switching on with it, after those switching off.
  std::vector<std::pair<int, bool>> order;
  order.reserve(group.lines.size());
  for (const auto& [relay, state] : group.lines) order.emplace_back(relay, isFocus(state));
  std::sort(order.begin(), order.end());
  const auto on = [&group](int relay) { return ((group.on >> relay) & 1U) != 0; };
  std::stable_partition(order.begin(), order.end(),
                        [&on](const auto& line) { return on(line.first) == line.second; });
  for (const auto& line : order) board.switchRelay(line.first, on(line.first));
  return true;
}

void RoleRig::switchGroup(const Group& group) {
  try {
    sendGroup(group);
  } catch (...) {  // passes on, the line noted unknown
    note(group, false);
    tell();
    throw;
  }
  note(group, true);
  tell();
}

void RoleRig::switchAt(Clock::time_point sendAt, const std::vector<Group>& groups,
                       Clock::time_point shot) {
  // Made before the spin: between its end and the last command, only the commands and the
  // clock's readings.
  std::vector<Clock::time_point> sent(groups.size());
  std::size_t count = 0;
  std::exception_ptr failure;
  clock_.spinUntil(sendAt);
  // The shutters open and the wait's end are one state, told once.
  armedAt_.reset();
  for (; count < groups.size(); ++count) {
    sent[count] = clock_.now();
    try {
      sendGroup(groups[count]);
    } catch (...) {  // passes on, once the priority is back and the lines are noted
      failure = std::current_exception();
      break;
    }
  }
  // The commands are on their way: the priority goes back before anything else is done, so that
  // rigs sharing the machine's cores send theirs without waiting for this one's reports.
  clock_.spinDone();
  for (std::size_t i = 0; i < groups.size() && i <= count; ++i) {
    noteLateness(groups[i], sent[i], shot);
    note(groups[i], i < count);
    tell();
  }
  if (failure) std::rethrow_exception(failure);
}

void RoleRig::note(const Group& group, bool switched) {
  for (const auto& [relay, state] : group.lines) {
    *state = !switched                        ? LineState::Unknown
             : (group.on & bitOf(relay)) != 0 ? LineState::On
                                              : LineState::Off;
    if (switched && lineObserver_) lineObserver_(*state);
  }
}

void RoleRig::endArmed() noexcept {
  if (!armedAt_) return;
  armedAt_.reset();
  try {
    tell();
  } catch (...) {  // keeps alive: the cleared wait
    // An observer that fails cannot be told; the state is cleared all the same.
  }
}

void RoleRig::waitStoppable(Clock::time_point deadline, const Timings& timings) {
  const auto stopAsked = [&timings] { return timings.stopRequested && timings.stopRequested(); };
  while (deadline - clock_.now() > kWatchedWait) {
    if (stopAsked()) throw CutShort{CutShort::Why::StopAsked};
    lookAtBoards();
    clock_.nap(clock_.now() + kBoardLook);
  }
  if (!timings.stopRequested) {
    clock_.waitUntil(deadline);
    return;
  }
  for (;;) {
    if (stopAsked()) throw CutShort{CutShort::Why::StopAsked};
    if (clock_.now() >= deadline) return;
    clock_.waitUntilWoken(deadline);
  }
}

void RoleRig::lookAtBoards() {
  for (std::size_t index = 0; index < boards_.size(); ++index) {
    onBoard(index, [](Board& board) {
      if (board.gone()) {
        throw failed(FailureKind::DeviceGone, "the board went away");
      }
    });
  }
}

Clock::time_point RoleRig::waitArmed(const Arming& armed, Clock::duration firstAt,
                                     Clock::duration firstSend) {
  const Clock::real_time first = armed.at + firstAt;
  if (clock_.realNow() + kArmingLeast > armed.at + firstSend) {
    throw failed(FailureKind::TooLate,
                 clock_.realNow() >= first
                     ? "the shot's time has passed"
                     : "the shot's time is too near to arm for it and its focus lead");
  }
  armedAt_ = armed.at;
  tell();
  try {
    waitUntilReal(clock_, armed.at + firstSend - kFinalStretch, armed);
    commitShot(armed);
  } catch (...) {  // passes on, the wait cleared
    endArmed();
    throw;
  }
  return steadyOf(clock_, armed.at);
}

void RoleRig::fire(const std::vector<Hold>& holds, const Timings& timings, const Arming* armed) {
  if (armed != nullptr) armedLateness_.clear();
  const std::vector<Group> groups = groupsOf(holds);
  if (groups.empty()) return;
  // The request's own pulse moves the releases: moments it puts too close on one board are
  // refused as the opening refuses the description's, before anything is switched.
  checkMoments(groups, FailureKind::BadRequest);
  // Each call starts its board's lead ahead of its moment, the earliest first.
  std::vector<std::pair<Clock::duration, const Group*>> order;
  order.reserve(groups.size());
  for (const Group& group : groups) order.emplace_back(group.at - leadOf(group), &group);
  std::stable_sort(order.begin(), order.end(),
                   [](const auto& a, const auto& b) { return a.first < b.first; });
  const Clock::duration firstSend = order.front().first;
  // Groups of several lines are prepared ahead of their moment (Board::prepareSwitch).
  const auto prepared = [](const auto& sent) { return !std::has_single_bit(sent.second->which); };
  const Clock::duration ahead =
      std::any_of(order.begin(), order.end(), prepared) ? kPrepareAhead : Clock::duration{};
  // Before anything is switched: a refusal or a disarm leaves every line as it was.
  const Clock::time_point shot = armed != nullptr
                                     ? waitArmed(*armed, groups.front().at, firstSend - ahead)
                                     : clock_.now() - firstSend;
  bool begun = false;  // a call has gone to a board: from then on, an ending releases
  try {
    for (auto first = order.begin(); first != order.end();) {
      // The groups of one moment, on different boards: every board's command goes out before
      // any board's answer is awaited, so that no board waits for another's answer.
      const auto last = std::find_if(first, order.end(), [&](const auto& sent) {
        return sent.second->at != first->second->at;
      });
      if (std::any_of(first, last, prepared)) {
        // What a board asks before such a switch is asked before the moment's first command.
        waitStoppable(shot + first->first - kFinalStretch - kPrepareAhead, timings);
        for (auto sent = first; sent != last; ++sent) {
          const Group& group = *sent->second;
          if (prepared(*sent)) {
            onBoard(group.board, [&](Board& board) { board.prepareSwitch(group.which, group.on); });
          }
        }
      }
      std::vector<const Group*> moment;
      // When each armed call of the moment started, recorded once the moment's commands are all
      // on their way: the last stretch's priority is for the commands alone.
      std::vector<std::pair<const Group*, Clock::time_point>> sent;
      const auto calls = static_cast<std::size_t>(last - first);
      moment.reserve(calls);
      sent.reserve(calls);
      for (; first != last; ++first) {
        const auto& [send, group] = *first;
        const Clock::time_point sendAt = shot + send;
        // Armed, every moment that switches a line on (the focus, the shot, each camera's delay
        // after it) is met as exactly as the clock can; a stop still ends the wait up to the last
        // stretch. The releases end holds of their own and keep the ordinary wait.
        if (armed != nullptr && group->on != 0) {
          waitStoppable(sendAt - kFinalStretch, timings);
          clock_.spinUntil(sendAt);
        } else {
          waitStoppable(sendAt, timings);
        }
        begun = true;
        // The wait is over once the shot switches its first line on: told with that line.
        if (group->on != 0) armedAt_.reset();
        if (armed != nullptr && group->on != 0) sent.emplace_back(group, clock_.now());
        startGroup(*group, moment);
      }
      clock_.spinDone();
      for (const auto& [group, at] : sent) noteLateness(*group, at, shot);
      finishGroups(moment);
    }
  } catch (...) {  // passes on, the lines released
    // The undoing is no timed command: it goes out at the thread's own priority.
    clock_.spinDone();
    endArmed();
    if (!begun) throw;  // stopped before the first call: every line is as it was
    const std::exception_ptr ending = std::current_exception();
    endWith(ending, release(holds));
  }
}

void RoleRig::noteLateness(const Group& group, Clock::time_point sent, Clock::time_point shot) {
  const Clock::duration late = sent + leadOf(group) - (shot + group.at);
  const std::string& board = boards_[group.board].name;
  const auto noted = std::find_if(armedLateness_.begin(), armedLateness_.end(),
                                  [&](const BoardLateness& b) { return b.board == board; });
  if (noted == armedLateness_.end()) {
    armedLateness_.push_back({board, late});
  } else {
    noted->late = std::max(noted->late, late);
  }
}

std::vector<std::string> RoleRig::onEveryBoard(const std::function<void(Group&)>& fill) noexcept {
  std::vector<std::string> failures;
  for (std::size_t board = 0; board < boards_.size(); ++board) {
    Group group{{}, board, 0, 0, {}};
    fill(group);
    if (group.which == 0) continue;
    try {
      switchGroup(group);
    } catch (const CutShort&) {
      // Ended before its command went out: the board is as it was.
      failures.emplace_back("board " + boards_[board].name + ": not switched back");
    } catch (const std::exception& error) {
      failures.emplace_back(error.what());
    } catch (...) {  // keeps alive: the other boards' undoing
      failures.emplace_back("board " + boards_[board].name + ": not switched back");
    }
  }
  return failures;
}

std::vector<std::string> RoleRig::release(const std::vector<Hold>& holds) noexcept {
  return onEveryBoard([&holds](Group& off) {
    for (const Hold& hold : holds) {
      if (hold.line.board != off.board) continue;
      off.which |= bitOf(hold.line.relay);
      off.lines.emplace_back(hold.line.relay, hold.state);
    }
  });
}

void RoleRig::endWith(const std::exception_ptr& ending,
                      const std::vector<std::string>& undoFailures) {
  if (undoFailures.empty()) std::rethrow_exception(ending);
  std::string also;
  for (const std::string& failure : undoFailures) also += "; " + failure;
  try {
    std::rethrow_exception(ending);
  } catch (const SerialError& error) {
    Failure failure = error.failure();
    failure.reason = std::string(error.what()) + "; undoing it failed too" + also;
    failure.port.reset();
    throw SerialError(failure);
  } catch (...) {  // keeps alive: the undo's words
    // Ended early, but a line may be left on: that is a failure, not a stop done as asked.
    throw failed(FailureKind::Other, "ended early, and undoing it failed" + also);
  }
}

bool RoleRig::isFocus(const LineState* state) const {
  return std::any_of(state_.cameras.begin(), state_.cameras.end(), [state](const auto& camera) {
    return camera.focus && &*camera.focus == state;
  });
}

std::string RoleRig::roleOf(const LineState* state) const {
  for (const CameraLines& camera : state_.cameras) {
    if (&camera.shutter == state) return "camera " + camera.name + "'s shutter";
    if (camera.focus && &*camera.focus == state) return "camera " + camera.name + "'s focus";
  }
  return "a line";
}

void RoleRig::checkMoments() { checkMoments(groupsOf(holdsOf({}, timings())), FailureKind::Other); }

void RoleRig::checkMoments(const std::vector<Group>& groups, FailureKind kind) const {
  const auto ms = [](Clock::duration d) {
    const auto tenths = std::chrono::duration_cast<std::chrono::microseconds>(d).count() / 100;
    return std::to_string(tenths / 10) + "." + std::to_string(tenths % 10) + " ms";
  };
  const auto what = [this](const Group& group) {
    return (group.on == 0 ? "the release of " : "") + roleOf(group.lines.front().second);
  };
  for (std::size_t board = 0; board < boards_.size(); ++board) {
    const Group* last = nullptr;
    for (const Group& group : groups) {  // in time
      if (group.board != board) continue;
      const Clock::duration lead = leadOf(group);
      if (last != nullptr && group.at - lead < last->at) {
        throw failed(
            kind,
            "board " + boards_[board].name + " (" + boards_[board].board->name().text() +
                ") cannot switch " + what(*last) + " and " + what(group) + " " +
                ms(group.at - last->at) + " apart: its command takes " + ms(lead) +
                " on the line; put those cameras at least that far apart, or on other boards");
      }
      last = &group;
    }
  }
}

void RoleRig::shutter(const std::vector<std::string>& cameras, const Timings& timings) {
  const std::vector<Hold> holds = holdsOf(cameras, timings);
  if (description_.manner.stepwise) {
    shutterSteps(holds, timings);
    return;
  }
  fire(holds, timings, timings.armed ? &*timings.armed : nullptr);
}

void RoleRig::reset() {
  if (description_.manner.resetPause.count() == 0) {
    linesOff(true, true);
    return;
  }
  linesOff(false, true);
  holdFor(description_.manner.resetPause);
  linesOff(true, false);
}

void RoleRig::holdFor(Clock::duration length) {
  const Clock::time_point until = clock_.now() + length + kDeliveryMargin;
  while (until - clock_.now() > kWatchedWait) {
    lookAtBoards();
    clock_.nap(clock_.now() + kBoardLook);
  }
  clock_.waitUntil(until);
}

std::vector<RoleRig::Group> RoleRig::groupsByBoard(const std::vector<const Hold*>& holds,
                                                   bool on) const {
  std::vector<Group> groups;
  for (const Hold* hold : holds) {
    auto group = std::find_if(groups.begin(), groups.end(),
                              [&](const Group& g) { return g.board == hold->line.board; });
    if (group == groups.end())
      group = groups.insert(groups.end(), Group{{}, hold->line.board, 0, 0, {}});
    group->which |= bitOf(hold->line.relay);
    if (on) group->on |= bitOf(hold->line.relay);
    group->lines.emplace_back(hold->line.relay, hold->state);
  }
  return groups;
}

void RoleRig::armBeforeReading(const Arming& armed) {
  if (clock_.realNow() + kArmingLeast > armed.at) {
    throw failed(FailureKind::TooLate, clock_.realNow() >= armed.at
                                           ? "the shot's time has passed"
                                           : "the shot's time is too near to arm for it");
  }
  armedAt_ = armed.at;
  tell();
  try {
    waitUntilReal(clock_, armed.at - kArmingLead, armed);
  } catch (...) {  // passes on, the wait cleared
    endArmed();
    throw;
  }
}

void RoleRig::pulseSteps(const std::vector<Hold>& holds, const Timings& timings,
                         const Arming* armed) {
  // A line that reads on is held as it is; only those reading off are switched on.
  std::vector<const Hold*> off;
  std::vector<const Hold*> all;
  for (const Hold& hold : holds) {
    all.push_back(&hold);
    const bool on =
        onBoard(hold.line.board, [&](Board& board) { return board.readRelay(hold.line.relay); });
    if (!on) off.push_back(&hold);
  }
  const std::vector<Group> switchOn = groupsByBoard(off, true);
  if (armed != nullptr) armedLateness_.clear();
  if (armed != nullptr && switchOn.empty()) {
    // Nothing to switch on; the pulse still keeps its time, so the rest of the action does too.
    waitUntilReal(clock_, armed->at, *armed);
    endArmed();
  } else if (armed != nullptr) {
    const auto sendAt = armed->at - leadOf(switchOn.front());
    if (clock_.realNow() > sendAt) {
      throw failed(FailureKind::TooLate, "the module's answer came too late to arm for the shot");
    }
    try {
      waitUntilReal(clock_, sendAt - kFinalStretch, *armed);
      commitShot(*armed);
    } catch (const SerialError& error) {
      disarmedBeforeSwitch_ = error.kind() == FailureKind::Disarmed;
      throw;
    }
    // The aim and the record against it from one reading of the two clocks, so they agree.
    const Clock::time_point shot = steadyOf(clock_, armed->at);
    switchAt(shot - (armed->at - sendAt), switchOn, shot);
  } else {
    for (const Group& group : switchOn) switchGroup(group);
  }
  // A long pulse is one wait, as exact as the half second.
  holdFor(timings.pulse);
  for (const Group& group : groupsByBoard(all, false)) switchGroup(group);
}

void RoleRig::shutterSteps(const std::vector<Hold>& holds, const Timings& timings) {
  const Arming* armed = timings.armed ? &*timings.armed : nullptr;
  // A shot that cannot be on time, or is disarmed while it waits, puts nothing on the line.
  if (armed != nullptr) armBeforeReading(*armed);
  try {
    pulseSteps(holds, timings, armed);
  } catch (...) {  // passes on, the shutters off
    endArmed();
    // Stopped early, the shutters may be open or their state unknown: they end commanded off
    // (the first failure is the one told), unless a disarm came before anything was switched.
    if (!std::exchange(disarmedBeforeSwitch_, false)) static_cast<void>(release(holds));
    throw;
  }
}

void RoleRig::sequenceSteps(const std::vector<Hold>& holds, const Timings& timings) {
  const Arming* armed = timings.armed ? &*timings.armed : nullptr;
  FlashUndo undo;
  // Between steps only: a step under way (a pulse above all) ends as it would have.
  const auto pause = [&] {
    if (timings.stopRequested && timings.stopRequested()) throw CutShort{CutShort::Why::StopAsked};
    holdFor(timings.pause);
    if (timings.stopRequested && timings.stopRequested()) throw CutShort{CutShort::Why::StopAsked};
  };
  if (armed != nullptr) armBeforeReading(*armed);
  try {
    pulseSteps(holds, timings, armed);
    pause();
    toggleFlashes(undo);
    pause();
    pulseSteps(holds, timings, nullptr);
    pause();
    toggleFlashes(undo);
  } catch (...) {  // passes on, the lines restored
    endArmed();
    // Every ending leaves the shutters off and the flashes as it found them; a disarm before the
    // first switch leaves the line as it was. The first failure is the one told.
    if (std::exchange(disarmedBeforeSwitch_, false)) throw;
    static_cast<void>(release(holds));
    static_cast<void>(restore(undo));
    throw;
  }
}

void RoleRig::linesOff(bool cameras, bool flashes) {
  for (std::size_t board = 0; board < boards_.size(); ++board) {
    Group off{{}, board, 0, 0, {}};
    const auto add = [&](const RelayLine& relayLine, LineState& state) {
      const Line line = lineOf(relayLine);
      if (line.board != board) return;
      off.which |= bitOf(line.relay);
      off.lines.emplace_back(line.relay, &state);
    };
    for (std::size_t i = 0; cameras && i < description_.cameras.size(); ++i) {
      add(description_.cameras[i].shutter, state_.cameras[i].shutter);
      if (description_.cameras[i].focus)
        add(*description_.cameras[i].focus, *state_.cameras[i].focus);
    }
    for (std::size_t i = 0; flashes && i < description_.flashes.size(); ++i)
      add(description_.flashes[i].line, state_.flashes[i].line);
    if (off.which != 0) switchGroup(off);
  }
}

void RoleRig::toggleFlashes(FlashUndo& undo, std::optional<std::size_t> only) {
  const std::size_t count = description_.flashes.size();
  undo.atStart.resize(count);
  undo.now.resize(count);
  const auto toggled = [only](std::size_t i) { return !only || *only == i; };
  // Read first, every board, so that nothing is switched on a reading that failed.
  std::vector<RelayMask> read(boards_.size());
  std::vector<RelayMask> which(boards_.size());
  for (std::size_t i = 0; i < count; ++i) {
    if (!toggled(i)) continue;
    const Line line = lineOf(description_.flashes[i].line);
    which[line.board] |= bitOf(line.relay);
  }
  for (std::size_t board = 0; board < boards_.size(); ++board) {
    if (which[board] == 0) continue;
    read[board] = onBoard(board, [&](Board& b) -> RelayMask {
      // A board with one flash is asked for that relay alone, as the two-relay rig asks.
      if (std::has_single_bit(which[board])) {
        const int relay = std::countr_zero(which[board]);
        return b.readRelay(relay) ? bitOf(relay) : 0;
      }
      return b.readRelays();
    });
  }
  for (std::size_t i = 0; i < count; ++i) {
    if (!toggled(i)) continue;
    const Line line = lineOf(description_.flashes[i].line);
    const bool on = (read[line.board] & bitOf(line.relay)) != 0;
    if (!undo.atStart[i]) undo.atStart[i] = on;
    undo.now[i] = on;
    state_.flashes[i].line = on ? LineState::On : LineState::Off;
  }
  // Step by step, a flash is told once switched, as the two-relay module's always was.
  if (!description_.manner.stepwise) tell();
  for (std::size_t board = 0; board < boards_.size(); ++board) {
    if (which[board] == 0) continue;
    Group toggle{{}, board, which[board], ~read[board] & which[board], {}};
    std::vector<std::size_t> flashes;
    for (std::size_t i = 0; i < count; ++i) {
      const Line line = lineOf(description_.flashes[i].line);
      if (line.board != board || !toggled(i)) continue;
      toggle.lines.emplace_back(line.relay, &state_.flashes[i].line);
      flashes.push_back(i);
    }
    try {
      switchGroup(toggle);
    } catch (...) {  // passes on, the flashes unknown
      for (const std::size_t i : flashes) undo.now[i].reset();
      throw;
    }
    for (const std::size_t i : flashes) undo.now[i] = !*undo.now[i];
  }
}

std::vector<std::string> RoleRig::restore(FlashUndo& undo) noexcept {
  return onEveryBoard([this, &undo](Group& back) {
    for (std::size_t i = 0; i < undo.atStart.size(); ++i) {
      const Line line = lineOf(description_.flashes[i].line);
      if (line.board != back.board || !undo.atStart[i] || undo.now[i] == undo.atStart[i]) continue;
      back.which |= bitOf(line.relay);
      if (*undo.atStart[i]) back.on |= bitOf(line.relay);
      back.lines.emplace_back(line.relay, &state_.flashes[i].line);
    }
  });
}

void RoleRig::flash(const std::string& name) {
  std::optional<std::size_t> only;
  if (!name.empty()) {
    const auto& flashes = description_.flashes;
    const auto found = std::find_if(flashes.begin(), flashes.end(),
                                    [&name](const RigFlash& flash) { return flash.name == name; });
    if (found == flashes.end()) {
      std::string words = "the rig has no flash named '" + name + "' (";
      words += flashes.empty() ? "it has no flashes" : "its flashes: ";
      for (std::size_t i = 0; i < flashes.size(); ++i) {
        words += (i == 0 ? "" : ", ") + flashes[i].name;
      }
      throw failed(FailureKind::BadRequest, words + ")");
    }
    only = static_cast<std::size_t>(found - flashes.begin());
  }
  FlashUndo undo;
  try {
    toggleFlashes(undo, only);
  } catch (...) {  // passes on, the flashes restored
    const std::exception_ptr ending = std::current_exception();
    endWith(ending, restore(undo));
  }
}

void RoleRig::sequence(const Timings& timings) {
  const std::vector<Hold> holds = holdsOf({}, timings);
  if (description_.manner.stepwise) {
    sequenceSteps(holds, timings);
    return;
  }
  FlashUndo undo;
  // Between steps and during pauses: a stop ends the sequence there.
  const auto pause = [&] {
    if (timings.stopRequested && timings.stopRequested()) throw CutShort{CutShort::Why::StopAsked};
    waitStoppable(clock_.now() + timings.pause + kDeliveryMargin, timings);
  };
  try {
    fire(holds, timings, timings.armed ? &*timings.armed : nullptr);
    pause();
    toggleFlashes(undo);
    pause();
    fire(holds, timings, nullptr);
    pause();
    toggleFlashes(undo);
  } catch (...) {  // passes on, the flashes restored
    // The shots release their own lines; what is left is the flashes.
    const std::exception_ptr ending = std::current_exception();
    endWith(ending, restore(undo));
  }
}

}  // namespace rig
