#include "TextBoard.h"

#include <algorithm>
#include <bit>
#include <chrono>
#include <filesystem>
#include <system_error>
#include <utility>

#include "rig/Arming.h"
#include "rig/Protocol.h"

namespace rig {

namespace {

using namespace std::chrono_literals;

// Reading replies. The line is polled at a short interval; the wait between polls goes through
// the clock, so it sleeps.
constexpr auto kPollInterval = 2ms;
// Leftovers of earlier commands are dropped until the line has been quiet this long...
constexpr auto kDrainQuiet = 20ms;
// ...but never for longer than this after the module is due to have said all it owes, even on a
// line that never goes quiet.
constexpr auto kDrainLimit = 250ms;
// The module echoes a command but for its carriage return, and ends its answer with two line
// breaks and a prompt: its talk for a switching command is the command and these bytes more.
constexpr std::size_t kAnswerFrameBytes = 4;
// The module answers a state query within about a second: its whole reply is waited for this
// long from the send.
constexpr auto kAnswerWait = 1s;
// A query to which nothing at all came back is sent once more (the first may have been lost on
// the line); more sends would only keep the operator waiting.
constexpr int kQuerySends = 2;
// The identification reply of the scan is over when nothing more arrives for this long.
constexpr auto kReplyQuiet = 50ms;
// A reply is cut off at the receive buffer's size: no state reply is anywhere near as long.
constexpr std::size_t kReplyMaxBytes = 1024;
// Most of a reply shown in a failure message; the rest is only counted.
constexpr std::size_t kReplyShownBytes = 64;
// Four relays a hex digit of the module's masks.
constexpr int kRelaysPerDigit = 4;
// A reading ahead of a switch is used only this soon: the module is the truth, and it may have
// been switched off and on meanwhile.
constexpr auto kReadAheadKept = 1s;
// A reading kept this close to that age is read again when a switch is prepared: the switch comes
// up to 120 ms after its preparing.
constexpr auto kPrepareMargin = 200ms;

// A reply for a failure message: escaped, and shortened when long.
std::string shownReply(const std::string& reply) {
  if (reply.size() <= kReplyShownBytes) return "\"" + protocol::escaped(reply, true) + "\"";
  return "\"" + protocol::escaped(reply.substr(0, kReplyShownBytes), true) + "\"... (" +
         std::to_string(reply.size()) + " bytes)";
}

// A slow module may still be answering earlier commands when a query goes out: their answers come
// first. Drops the answers to switching commands in front, and anything ended by a prompt before
// the query's echo.
void dropLeftovers(std::string& reply, std::string_view echo) {
  for (std::size_t length; (length = protocol::switchAnswerLength(reply)) > 0;) {
    reply.erase(0, length);
  }
  const std::size_t echoAt = reply.find(echo);
  if (echoAt == std::string::npos || echoAt == 0) return;
  const std::size_t prompt = reply.rfind('>', echoAt);
  if (prompt != std::string::npos) reply.erase(0, prompt + 1);
}

// The answer to "id get" is its echo and what follows; without an echo, the first text ended by a
// prompt that names the module. Anything in front of that is left over from earlier commands:
// dropped, so that a prompt or a line end in it does not end the reading early.
void dropIdentificationLeftovers(std::string& reply) {
  const std::size_t echoAt = reply.find(protocol::kIdGet);
  if (echoAt != std::string::npos) {
    reply.erase(0, echoAt);
    return;
  }
  for (std::size_t prompt; (prompt = reply.find('>')) != std::string::npos;) {
    if (protocol::namesModule(std::string_view(reply).substr(0, prompt))) return;
    reply.erase(0, prompt + 1);
  }
}

RelayMask bitOf(int relay) { return RelayMask{1} << static_cast<unsigned>(relay); }

}  // namespace

TextBoard::TextBoard(SerialControl& serial, Clock& clock, std::optional<BoardName> name)
    : serial_(serial), clock_(clock), name_(std::move(name)) {}

TextBoard::TextBoard(std::unique_ptr<SerialControl> line, std::unique_ptr<Clock> clock,
                     BoardName name, std::string device)
    : ownLine_(std::move(line)),
      ownClock_(std::move(clock)),
      ownDevice_(std::move(device)),
      serial_(*ownLine_),
      clock_(*ownClock_),
      name_(std::move(name)) {
  serial_.setLossHandler([this](const std::string& /*message*/) { lost_ = true; });
}

BoardName TextBoard::name() const {
  if (name_) return *name_;
  return BoardName{"text", serial_.device()};
}

BoardAbilities TextBoard::abilities() const {
  BoardAbilities abilities;
  abilities.readBack = true;  // "relay read N" on every module of the family
  abilities.switchMany = maskDigits_ > 0;
  return abilities;
}

void TextBoard::open() {
  if (!ownLine_) {
    serial_.setPortOpen(true);
    return;
  }
  lost_ = false;
  serial_.setPortNumber(1);
  serial_.setPortOpen(true);
  // Its first command must not be read after what another program (or this one, under another
  // kind, or a listing) left on the line, nor its answer be taken from their leftovers.
  clearLine(clock_.now());
}

bool TextBoard::gone() {
  if (!ownLine_) return false;
  if (!isOpen()) return lost_;
  std::error_code error;
  return lost_ || !std::filesystem::exists(ownDevice_, error);
}

void TextBoard::close() { serial_.setPortOpen(false); }

void TextBoard::fail(const std::string& reason, FailureKind kind) const {
  throw SerialError(serial_.portNumber(), serial_.device(), reason, kind);
}

void TextBoard::send(std::string_view command) {
  readAhead_.reset();
  const std::string framed = protocol::frame(command);
  serial_.output(framed);
  lastSent_ = clock_.now();
  // The module talks back at the line's pace, one command's echo and answer after another, and
  // each is longer than its command: commands sent back to back leave it talking long after the
  // last one went out.
  answeredBy_ = std::max(answeredBy_, lastSent_) + wireTime(framed.size() + kAnswerFrameBytes);
}

void TextBoard::switchRelay(int relay, bool on) {
  const std::optional<RelayMask> kept = readAhead_;
  send(protocol::switchCommand(relay, on));
  // The module's relays are as kept but for this one: a switch of several soon after need not
  // read them again (its reading would take the line when the switch is due).
  if (kept) readAhead_ = on ? (*kept | bitOf(relay)) : (*kept & ~bitOf(relay));
}

Clock::duration TextBoard::switchLead(int relay, bool on) const {
  return wireTime(protocol::frame(protocol::switchCommand(relay, on)).size());
}

void TextBoard::switchRelays(RelayMask which, RelayMask on) {
  if (which == 0) return;
  if (std::has_single_bit(which)) {
    const int relay = std::countr_zero(which);
    switchRelay(relay, (on & which) != 0);
    return;
  }
  std::optional<RelayMask> now = std::exchange(readAhead_, std::nullopt);
  if (!now || clock_.now() - readAt_ > kReadAheadKept) {
    now = readAll();
    readAt_ = clock_.now();
  }
  if (now && maskDigits_ > 0) {
    const RelayMask written = (*now & ~which) | (on & which);
    send(protocol::writeAllCommand(written, maskDigits_));
    readAhead_ = written;  // as the module has them now, for the next switch of several
    return;
  }
  for (int relay = 0; relay < protocol::kMostRelays; ++relay) {
    if ((which & bitOf(relay)) != 0) switchRelay(relay, (on & bitOf(relay)) != 0);
  }
}

void TextBoard::prepareSwitch(RelayMask which, RelayMask /*on*/) {
  if (std::has_single_bit(which) || which == 0) return;
  // Kept from a reading young enough to last until the switch: nothing to ask.
  if (readAhead_ && clock_.now() - readAt_ < kReadAheadKept - kPrepareMargin) return;
  readAhead_ = readAll();
  readAt_ = clock_.now();
}

Clock::duration TextBoard::groupLead(RelayMask which, RelayMask on) const {
  if (std::has_single_bit(which) || maskDigits_ == 0) return Board::groupLead(which, on);
  return wireTime(protocol::frame(protocol::writeAllCommand(0, maskDigits_)).size());
}

RelayMask TextBoard::readRelays() {
  if (const auto all = readAll()) return *all;
  RelayMask mask = 0;
  for (int relay = 0; relay < relays_; ++relay) {
    if (readRelay(relay)) mask |= bitOf(relay);
  }
  return mask;
}

bool TextBoard::readRelay(int relay) {
  const std::string reply = queryRelay(relay);
  if (replyObserver_) replyObserver_(reply);
  return relayOn(relay, reply);
}

std::optional<RelayMask> TextBoard::readAll() {
  if (learned_ && maskDigits_ == 0) return std::nullopt;  // a module without the command
  const std::string command(protocol::kReadAll);
  const std::string reply = ask(command, [](const std::string& got) {
    protocol::AllRelays ignored;
    return protocol::readAll(got, ignored) == protocol::AllReading::NotAnAnswer &&
           protocol::startsSwitchAnswer(got);
  });
  if (replyObserver_) replyObserver_(reply);
  protocol::AllRelays all;
  const protocol::AllReading reading = protocol::readAll(reply, all);
  switch (reading) {
    case protocol::AllReading::Mask:
      if (!learned_) {
        maskDigits_ = all.digits;
        relays_ = std::min(all.digits * kRelaysPerDigit, protocol::kMostRelays);
        learned_ = true;
      }
      return all.mask;
    case protocol::AllReading::Refused:
      // The two-relay module answers the command it does not know with an error line.
      learned_ = true;
      return std::nullopt;
    case protocol::AllReading::Unfinished:
    case protocol::AllReading::NotAnAnswer:
      break;
  }
  failReading(reply, reading == protocol::AllReading::Unfinished);
}

void TextBoard::discardPending(Clock::time_point busySince) {
  serial_.input();
  const auto start = clock_.now();
  for (;;) {
    // A command just sent may not have been answered yet: its answer is a leftover too.
    const auto quietUntil = std::max({serial_.lastReceived(), lastSent_, busySince}) + kDrainQuiet;
    // A module still answering a burst of earlier commands is waited for: what it says until then
    // is theirs, and a query sent into it would have its answer come after all of that.
    const auto giveUp = std::max(start, answeredBy_) + kDrainLimit;
    const auto now = clock_.now();
    if (now >= quietUntil || now >= giveUp) return;
    clock_.waitUntil(std::min(quietUntil, giveUp));
    serial_.input();
  }
}

std::string TextBoard::identify(Clock::time_point openedAt, Clock::time_point until) {
  // Whatever is still pending or arriving from before (the tail of an earlier reply, a late
  // prompt) is not the answer to this question.
  discardPending(openedAt);
  send(protocol::kIdGet);
  return collectIdentification(until);
}

void TextBoard::clearLine(Clock::time_point openedAt) {
  discardPending(openedAt);
  send("");
  discardPending();
}

std::string TextBoard::collectIdentification(Clock::time_point until) {
  std::string reply;
  auto lastByte = clock_.now();
  for (;;) {
    const std::string chunk = serial_.input();
    const auto now = clock_.now();
    if (!chunk.empty()) {
      reply += chunk;
      lastByte = now;
      dropIdentificationLeftovers(reply);
      if (reply.size() >= kReplyMaxBytes) return reply;
      const bool echoed = reply.starts_with(protocol::kIdGet);
      const std::size_t name = reply.find(protocol::kModuleName);
      if ((echoed && protocol::looksComplete(reply)) ||
          (name != std::string::npos && reply.find('>', name) != std::string::npos)) {
        return reply;
      }
    }
    if (now >= until) return reply;
    if (!reply.empty() && now - lastByte >= kReplyQuiet) return reply;
    clock_.waitFor(kPollInterval);
  }
}

TextBoard::Collected TextBoard::collectReply(Clock::duration limit, std::string_view echo) {
  Collected got;
  std::string& reply = got.reply;
  const auto start = clock_.now();
  for (;;) {
    const std::string chunk = serial_.input();
    const auto now = clock_.now();
    if (!chunk.empty()) {
      got.heard = true;
      reply += chunk;
      dropLeftovers(reply, echo);
      if (reply.size() >= kReplyMaxBytes) return got;
      if (reply.starts_with(echo) && protocol::looksComplete(reply)) return got;
    }
    if (now - start >= limit) return got;
    clock_.waitFor(kPollInterval);
  }
}

std::string TextBoard::ask(const std::string& command,
                           const std::function<bool(const std::string&)>& leftoverOnly) {
  for (int send = 0; send < kQuerySends; ++send) {
    // Before every send, so what is still arriving for earlier commands goes first.
    discardPending();
    this->send(command);
    // Whole when the answer line has ended or the prompt came; a pause after the echo is not the
    // end of it.
    Collected got = collectReply(kAnswerWait, command);
    // Still in the middle of an earlier switching command's answer: nothing for this query yet.
    if (leftoverOnly(got.reply)) got.reply.clear();
    if (!got.reply.empty()) return std::move(got.reply);
    if (got.heard) {
      fail("the relay module did not answer in time (it was still answering earlier commands)",
           FailureKind::NoAnswer);
    }
    // Nothing at all came back: the query may have been lost on the line.
  }
  fail("the relay module did not answer", FailureKind::NoAnswer);
}

std::string TextBoard::queryRelay(int relay) {
  return ask(protocol::readCommand(relay), [relay](const std::string& got) {
    return protocol::readState(got, relay) == protocol::StateReading::NotAState &&
           protocol::startsSwitchAnswer(got);
  });
}

bool TextBoard::relayOn(int relay, const std::string& reply) const {
  const protocol::StateReading reading = protocol::readState(reply, relay);
  switch (reading) {
    case protocol::StateReading::Off:
      return false;
    case protocol::StateReading::On:
      return true;
    case protocol::StateReading::Unfinished:
    case protocol::StateReading::NotAState:
      break;
  }
  failReading(reply, reading == protocol::StateReading::Unfinished);
}

void TextBoard::failReading(const std::string& reply, bool unfinished) const {
  if (unfinished) {
    fail("the relay module did not answer in time (only " + shownReply(reply) + " came back)",
         FailureKind::NoAnswer);
  }
  fail("the relay module's reply was not understood: " + shownReply(reply),
       FailureKind::NotUnderstood);
}

}  // namespace rig
