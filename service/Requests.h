#pragma once

#include <QJsonArray>
#include <QJsonObject>
#include <QJsonValue>
#include <QString>
#include <chrono>
#include <memory>
#include <optional>
#include <vector>

#include "ClockStatus.h"
#include "Ticket.h"
#include "rig/Failure.h"
#include "rig/State.h"
#include "rig/Timings.h"

// The requests every channel (the windows, the local endpoint, the broker) can make of the rig,
// what the rig reports back, and their JSON, one object per message.
namespace service {

// Only the panel's own actions can be asked for; never raw serial text. Stop and Disarm are no
// jobs of the rig: Stop ends the running series, Disarm the armed waits, at once, ahead of the
// queue.
enum class Action { Status, Open, Flash, Shutter, Sequence, Stop, Disarm };

// "status", "open", "flash", "shutter", "sequence", "stop", "disarm".
QString actionName(Action action);
std::optional<Action> actionFromName(const QString& name);
// The caption of the button that starts an action, which also names it in messages: "Open Com
// Port", "Main Flash", "Camera Shutter", "Start" ("Status" for Status).
QString buttonOf(Action action);

// Where a request came from. Only a click's failure is the window's to show in a warning; the
// others are answered to their channel.
enum class Origin { Click, Socket, Broker, Reconnection, Web, CommandLine };
// "click", "socket", "broker", "reconnection", "web", "command-line".
QString originName(Origin origin);

// The times a shutter or sequence request may carry, in seconds as asked; without them, the
// half second and a single shot.
struct ShotTimes {
  std::optional<double> pulse;     // how long relay 1 is held on
  std::optional<double> pause;     // the sequence's pauses
  std::optional<int> repeat;       // shots in the series
  std::optional<double> interval;  // from one shot's start to the next one's

  // The pulse and pause asked for; those not asked for are `base`'s (a described rig's own).
  rig::Timings timings(const rig::Timings& base = {}) const;
  int shots() const { return repeat.value_or(1); }
  // The time from one shot's start to the next: the interval, or the shot's own length.
  rig::Clock::duration spacing(bool sequence, const rig::Timings& base = {}) const;
  bool operator==(const ShotTimes&) const = default;
};

// An armed shot's time on the real-time clock, and whether it may fire on a clock that no time
// service keeps ("clock": "local").
struct ShotTime {
  std::chrono::system_clock::time_point at;
  bool localClock = false;
};

// "at": Unix seconds with a fraction (a JSON number), or an ISO 8601 time with its offset
// ("2026-12-07T20:15:00.250+01:00", "...Z"). Nothing for any other text.
std::optional<std::chrono::system_clock::time_point> parseShotTime(const QJsonValue& value);

struct Request {
  Action action = Action::Status;
  Origin origin = Origin::Socket;
  // For Open: the selector text it was asked with, a port number or "AUTOMATIC".
  QString port;
  // Echoed in the answer when the request had one (any JSON value); undefined when it had none.
  QJsonValue id = QJsonValue(QJsonValue::Undefined);
  // The id's JSON text as it was sent (blanks between its tokens left out), so that it comes back
  // exactly: a long number would not survive the trip through a double. Empty without an id.
  QByteArray idText;
  // For Shutter and Sequence.
  ShotTimes times;
  // Set by a channel whose client can withdraw the request before it starts.
  std::shared_ptr<Ticket> ticket;
  // For Shutter and Sequence: the (first) shot is armed for this time.
  std::optional<ShotTime> shot;
  // For Shutter: the cameras to fire, by their names in the rig file; empty for every camera.
  std::vector<QString> cameras;
  // For Flash: the one flash to toggle, by its name in the rig file; empty for every flash.
  QString flash;
};

// What the window shows, and so what every channel can see of the rig: the rig's state as values,
// and the texts made from it.
// One board of a rig described by a rig file, as the state tells it: the file's name for it, its
// board name (KIND:IDENTITY), the device it is on, and how it stands ("open", "lost", "closed",
// "not-found", as the rig's link).
struct BoardStatus {
  QString name;
  QString board;
  QString kind;
  QString device;  // empty when no path tells it (a USB HID board)
  QString link;
  bool operator==(const BoardStatus&) const = default;
};

// The link's word on the wire: "closed", "open", "not-found", "lost".
QString linkWord(rig::Link link);

struct State {
  rig::RigState rig;
  int port = 1;       // the port number in use, or to be used
  QString device;     // the device it maps to; empty when none
  bool open = false;  // the port is open
  bool busy = false;  // an action is running
  QString status;     // the status box
  QString statusTip;  // the status box's tooltip: the reason of a failed opening, the device
  QString flash;      // caption of "Main Flash"
  QString shutter;    // caption of "Camera Shutter"
  QString broker;     // the broker link ("connected", "retrying: ..."); empty without a broker
  // While an armed shot waits: its time, and the words for it.
  std::optional<std::chrono::system_clock::time_point> armedAt;
  QString armed;
  // A rig described by a rig file: each camera's and flash's lines, in the file's order.
  std::optional<rig::RoleState> roles;
  // And its boards, in the file's order; the rig has no port or device of its own then.
  std::vector<BoardStatus> boards;
  // The file's name (its folder left out), and the board of each camera's shutter and of each
  // flash, the file's names for them in the order of `roles`.
  QString rigFile;
  std::vector<QString> cameraBoards;
  std::vector<QString> flashBoards;
};

// One command put on the line, `seconds` after its action started (microsecond resolution).
struct TimedCommand {
  double seconds = 0;
  QString command;                              // without its carriage return
  std::chrono::system_clock::time_point clock;  // when, on the real-time clock
};

// One shot of a series: when it started, from the request's start, and how it ended.
struct ShotRecord {
  int number = 1;
  double seconds = 0;
  bool ok = true;
  rig::FailureKind kind = rig::FailureKind::Other;  // when not ok
};

// An armed shot at one board of the rig, as the rig recorded it: how late the last byte
// of its commands reached the line against their moments (negative: early), in seconds.
struct BoardShot {
  QString board;
  double error = 0;
};

// An armed shot that reached a board later than this after its moment says so ("late").
inline constexpr double kLateAfterSeconds = 0.002;

struct Result {
  bool ok = true;
  // On failure: what failed, and whether the status box shows it (an opening that ended in
  // "Port Not Found" or "Port Lost") rather than a warning.
  rig::Failure failure;
  bool shownInStatus = false;
  // On failure, the words of the answer: the panel's warning ("Main Flash failed: Port 1
  // (/dev/ttyACM0): ...") or the status box's reason.
  QString message;
  State state;
  std::vector<TimedCommand> commands;
  // A request with "repeat": every shot that ran.
  std::vector<ShotRecord> shots;
  // A series whose shots took longer than its interval: the longest time from one shot's start
  // to the next's, in seconds (the interval could not be kept).
  std::optional<double> spacing;
  // A series ended by a stop; for a stop, that there was a series or sequence to end.
  bool stopped = false;
  // How far into the running shots, in seconds, a stop released their shutters (shots cut
  // short, and a stop that cut them on a described rig).
  std::optional<double> stoppedAfter;
  // A stop or a disarm: each armed request it reached, {"id", "action", "outcome"}, the outcome
  // "disarmed" (it never fires), "stopping" (a series that ends after its step in progress) or
  // "fired" (past its cut-off: it fires, or has).
  std::optional<QJsonArray> ended;
  // Status: the real-time clock's synchronization.
  std::optional<ClockStatus> clock;
  // An armed shot that fired: each board's record.
  std::vector<BoardShot> boardShots;
};

// An armed shot's worst error at the line against its time, in seconds: the latest board's, or
// without board records "relay on 1"'s carriage return. Nothing for a shot that was not armed or
// did not fire.
std::optional<double> shotError(const Request& request, const Result& result);
// Whether the armed shot reached a board more than kLateAfterSeconds after its time.
bool late(const Request& request, const Result& result);

// Longest request line or payload taken; longer ones are refused unread.
inline constexpr qsizetype kMaxRequestBytes = 4096;
// Most cameras one request may name.
inline constexpr int kMostNamedCameras = 64;

// A request parsed from one JSON object: {"action": "open", "port": "3", "id": 7}. On failure,
// `error` says what is wrong in words and `id` holds the id when one could be read.
struct ParsedRequest {
  std::optional<Request> request;
  QString error;
  QJsonValue id = QJsonValue(QJsonValue::Undefined);
  QByteArray idText;
  // The JSON object as read (empty when the text was none), for a channel's own fields.
  QJsonObject object;
};
ParsedRequest parseRequest(const QByteArray& text);

// A failed action's result, with the panel's words for it.
Result failed(Action action, const rig::Failure& failure);
// The answer to a request that never ran ("not-run"), and why.
Result notRun(Action action, const QString& why);
// The failure's words after "<button> failed: ": "Port 1 (/dev/ttyACM0): the relay module did
// not answer", or the reason alone for a failure that is not the line's.
QString failureDetails(const rig::Failure& failure);

// A stop's words for the shots it cut `gone` seconds into `running`: what ends and when, the
// shutters `released` at once (a described rig's holds) or at their pulse's end. `shot` of
// `shots` while a series runs (0 of 0 otherwise).
QString stopWords(const rig::RunningShots& running, double gone, bool released, int shot,
                  int shots);
// The words of shots a stop cut short `gone` seconds in, once they ended: "stopped 2.1 s into a
// 5 s exposure, every shutter closed", or the shutters not known to be closed by name.
QString stoppedWords(const rig::RunningShots& running, double gone, int shotsDone,
                     const std::vector<std::string>& notClosed);
// "2.1 s", "5 s": seconds to a tenth.
QString secondsWords(double seconds);

// The state with its texts made from the rig's values.
State stateOf(const rig::RigState& rig);

// The captions ("status", "flash": "Flash 2", ...) and, for scripts, the same as values: "link"
// ("closed", "open", "lost", "not-found"), "relays" {"flash": "on"|"off"|"unknown", "shutter":
// "on"|"off"}, and while a series runs "shot" and "shots"; "armedAt" while a shot waits. A
// described rig adds "cameras" [{"name", "shutter", "focus"}] and "flashes" [{"name", "line"}],
// each line "on", "off" or "unknown" ("focus" only for a camera that has one).
QJsonObject toJson(const State& state);
// The JSON of requests, results and the state is written here alone: the answers of every
// channel, the journal's lines and the state published.
//
// {"ok": true, "id": ..., "action": "flash", "state": {...}, "commands": [{"t": 0.000012,
// "command": "relay read 0"}, ...]}; a failure adds "error": {"kind": "no-answer",
// "message": "..."}; a stop, or shots a stop cut short, their "message" in words and a stop
// "stoppedAfter" (seconds into the shots it reached). An armed request adds "at", each command's
// "clock" (Unix seconds), and "shot": when the carriage return of "relay on 1" reached the line and
// its "error" against "at".
QJsonObject toJson(const Request& request, const Result& result);
// A failed result's "error", as every channel answers it and the journal keeps it: {"kind":
// "no-answer", "message": "..."}, the kind's wire name and the result's words.
QJsonObject errorOf(const Result& result);
// That answer's text, the id first as it was sent, with `extra` fields added.
QByteArray answerText(const Request& request, const Result& result, const QJsonObject& extra = {});
// The journal's line for a request and its result: the same record without the state, with the
// wall-clock time of its start (to the microsecond, with the offset from UTC), the channel and
// the times asked for; a stop's line has no commands.
QByteArray journalLine(const Request& request, const Result& result,
                       std::chrono::system_clock::time_point started);
// {"started": "sequence", "id": ...}: a request has started.
QByteArray startNotice(const Request& request);
// "2026-12-07T19:20:01.123456+01:00": local time, to the microsecond, with its offset.
QString wallClockText(std::chrono::system_clock::time_point at);
// {"ok": false, "id": ..., "error": {"kind": kind, "message": ...}}: a request refused.
QJsonObject errorAnswer(const QString& kind, const QString& message,
                        const QJsonValue& id = QJsonValue(QJsonValue::Undefined));
// The "bad-request" answer to a request that could not be taken.
QJsonObject badRequestAnswer(const QString& message,
                             const QJsonValue& id = QJsonValue(QJsonValue::Undefined));
// The text of the "bad-request" answer to a request that could not be parsed.
QByteArray badRequestText(const ParsedRequest& parsed);
// An answer's compact JSON text, with its "id" written as `idText` when there is one.
QByteArray answerText(const QJsonObject& answer, const QByteArray& idText = {});

}  // namespace service
