#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "rig/Board.h"
#include "rig/Clock.h"
#include "rig/SerialControl.h"

namespace rig {

// The text-command relay module ("relay on 1", "relay read 0", "id get", each ended by a carriage
// return; replies echoed and ended by a ">" prompt) as a board, on the serial control's current
// port. It keeps the panel's bytes and timings exactly: one command per switch, a state query per
// relay read, leftovers of earlier commands drained before every query.
//
// The two-relay module is what it takes a module for until it knows better. The wider modules of
// the family (4 to 32 relays) also answer "relay readall" with a hex mask and take "relay writeall
// HEX": the board asks "relay readall" the first time it is asked for all relays or to switch
// several at once, and learns its relay count and abilities from the answer. Nothing else sends
// either command, so the two-relay module sees exactly the panel's commands.
class TextBoard : public Board {
 public:
  // `name` is what the board was opened as ("text:/dev/serial/by-id/...", "text-id:RIG02");
  // without one it is named by the serial control's device.
  TextBoard(SerialControl& serial, Clock& clock, std::optional<BoardName> name = std::nullopt);
  // A module found by name, on a line of its own: `line` holds its one device, `device`, at port
  // 1, with `clock` for its waits; the board keeps both. Its opening clears what was left on the
  // line, and it is gone once the line hung up or the device is no longer there.
  TextBoard(std::unique_ptr<SerialControl> line, std::unique_ptr<Clock> clock, BoardName name,
            std::string device);

  BoardName name() const override;
  std::string device() const override { return serial_.device(); }
  int relayCount() const override { return relays_; }
  BoardAbilities abilities() const override;

  // Opens the serial control's port at its number. The module reads back, so nothing is switched.
  void open() override;
  void close() override;
  bool isOpen() const override { return serial_.portOpen(); }
  // On a line of its own: the line hung up, or the device node (or the link naming it) is gone.
  bool gone() override;

  void switchRelay(int relay, bool on) override;
  // One relay alone goes as switchRelay; several with "relay writeall" where the module has it,
  // its other relays kept as "relay readall" reports them just before, or as prepareSwitch()
  // read them and the board's own switching commands changed them since, within a second.
  void switchRelays(RelayMask which, RelayMask on) override;
  // Several relays: "relay readall" now, so that their switch is only the "relay writeall".
  void prepareSwitch(RelayMask which, RelayMask on) override;
  // Several relays on a module with "relay writeall": that command's time on the line.
  Clock::duration groupLead(RelayMask which, RelayMask on) const override;
  RelayMask readRelays() override;
  bool readRelay(int relay) override;
  void setReplyObserver(const ReplyObserver& observer) override { replyObserver_ = observer; }
  Clock::duration switchLead(int relay, bool on) const override;

  // The text protocol, for the opening and for `quillmar-cli read`.
  void send(std::string_view command);
  // The reply to a state query for the relay, read whole: the answer line has ended, the prompt
  // came, or about a second went by. Throws (NoAnswer) when nothing at all came back.
  std::string queryRelay(int relay);
  // The state a query's reply reports; throws SerialError naming the reply when it is not a state
  // (NotUnderstood) or stopped short of one (NoAnswer).
  bool relayOn(int relay, const std::string& reply) const;
  // Asks "id get" on a port opened at `openedAt` and returns the answer without what earlier
  // commands left on the line: read until it looks whole, it pauses, or `until`. What is still
  // arriving from before is drained first; the drain counts from `openedAt`.
  std::string identify(Clock::time_point openedAt, Clock::time_point until);
  // Clears the line of a port opened at `openedAt` for a module found by name: drains what is
  // still arriving from before, then ends with a lone carriage return whatever the module holds
  // of an unfinished line (a CH340 frame sent to it by mistake, a command cut off), and drains
  // its answer, so that the next command is read alone and its answer is its own.
  void clearLine(Clock::time_point openedAt);
  // Whether "relay readall" has been answered, so the count and abilities are the module's own.
  bool learned() const { return learned_; }

 private:
  struct Collected {
    std::string reply;
    bool heard = false;  // anything at all came in, leftovers of earlier commands included
  };
  // Sends `command` and returns its reply (sent once more when nothing at all came back). A reply
  // for which `leftoverOnly` holds is the start of an earlier command's answer, not this one's.
  std::string ask(const std::string& command,
                  const std::function<bool(const std::string&)>& leftoverOnly);
  // Asks "relay readall"; learns the count and abilities on the first answer. The relays' mask,
  // or nothing from a module without the command.
  std::optional<RelayMask> readAll();
  // Drops what arrives until the line has been quiet a moment since the last byte, the last
  // command and `busySince` (a port just opened may still get the end of an earlier reply); on a
  // line that never goes quiet, until a while after the module's answers to every command sent
  // are due.
  void discardPending(Clock::time_point busySince = {});
  std::string collectIdentification(Clock::time_point until);
  // Reads until the reply looks whole, `limit` has passed, or it is too long to be a reply. With
  // the `echo` of a query, late answers to earlier commands in front of the reply are dropped,
  // and the reply is whole only once it starts with that echo.
  Collected collectReply(Clock::duration limit, std::string_view echo);
  [[noreturn]] void fail(const std::string& reason, FailureKind kind) const;
  // A reply that stopped short of an answer (NoAnswer), or is none (NotUnderstood).
  [[noreturn]] void failReading(const std::string& reply, bool unfinished) const;

  // A line of its own, when the board has one: made before the references to it, gone after.
  std::unique_ptr<SerialControl> ownLine_;
  std::unique_ptr<Clock> ownClock_;
  std::string ownDevice_;
  bool lost_ = false;  // its own line hung up since it opened (told by the serial control)
  SerialControl& serial_;
  Clock& clock_;
  std::optional<BoardName> name_;
  ReplyObserver replyObserver_;
  // When the last command went out: the line is not quiet until its answer has had time to come.
  Clock::time_point lastSent_{};
  // When the module is due to have echoed and answered every command sent, at 9600 baud.
  Clock::time_point answeredBy_{};
  bool learned_ = false;
  int relays_ = 2;
  int maskDigits_ = 0;  // the width of the module's hex masks; 0 without "relay readall"
  // The relays as prepareSwitch() read them, kept up to date by the board's own switching
  // commands; dropped by any other command sent.
  std::optional<RelayMask> readAhead_;
  Clock::time_point readAt_{};  // when the relays kept in readAhead_ were read
};

}  // namespace rig
