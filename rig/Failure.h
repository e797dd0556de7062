#pragma once

#include <exception>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

#include "State.h"

// How an action ends when it does not end as asked: a failure (its kind, where and why), thrown
// as SerialError and carried as a value in every answer; or a cut short (CutShort), which is no
// failure of the rig. failureOf() turns either, once thrown, into the value. And the one exit
// status of the command line for any ending.
namespace rig {

// What kind of failure it is, for programs that act on it (exit codes, remote answers); the
// reason text is for people.
enum class FailureKind {
  Other,
  NoDevice,       // no device for the port number, or the device does not exist
  Busy,           // held by another program
  Permission,     // the user may not open the device
  NotSerialPort,  // the device takes no line settings (a file, a folder)
  NotOpen,        // used while the port is closed
  DeviceGone,     // the open device went away or hung up
  WriteFailed,    // the bytes could not be put on the line
  NoAnswer,       // the module did not answer a query in time
  NotUnderstood,  // the module answered, but not with a state the rig can read
  Stopped,        // the action was cut short because the program is ending
  NotRun,         // the request never started: its client went away, or the program is ending
  // Armed shots:
  TooLate,              // the shot's time has passed, or is too near for the arming to finish
  Conflict,             // the shot would start before the running or armed action ends
  TooFarAhead,          // the shot's time is more than an hour ahead
  ClockUnsynchronized,  // the system clock is not synchronized, and the shot did not allow it
  Disarmed,             // the armed wait was ended before the shot
  // Board names:
  Ambiguous,  // two boards answer to the one name: which is meant cannot be told
  // The caller's own mistake: a request no rig can run as asked (a camera the rig does not have,
  // a time out of its range); nothing was sent.
  BadRequest,
};

// Short stable name of a kind on the wire: "no-device", "busy", ... ("other" for Other); and
// back (Other for a name it does not know).
const char* kindName(FailureKind kind);
FailureKind kindFromName(std::string_view name);

// A failure as every channel reports it: its kind, the port and the device it happened on (no
// port for a failure that is not the line's), and the reason in words (often the system's own,
// "Permission denied").
struct Failure {
  FailureKind kind = FailureKind::Other;
  std::optional<int> port;
  std::string device;  // empty when the number maps to none
  std::string reason;

  // Its kind, where the kind alone counts (an exit status, which failure an opening ended in):
  // a failure is compared with a kind, and an optional failure taken as an optional kind.
  operator FailureKind() const { return kind; }
  // Two failures are equal when every part is, not by their kinds alone.
  bool operator==(const Failure&) const = default;
};

// A failure, thrown: of the serial link, of a board, or of an action that was refused. Every
// driver and check throws this one type, made by failed() (or, for a numbered serial port, by the
// constructor that names the port).
class SerialError : public std::runtime_error {
 public:
  SerialError(int port, std::string device, std::string reason,
              FailureKind kind = FailureKind::Other);
  // A failure that is not the line's (an armed shot refused): what() is the reason alone.
  explicit SerialError(Failure failure);

  int port() const { return *failure_.port; }
  const std::string& device() const { return failure_.device; }
  const std::string& reason() const { return failure_.reason; }
  FailureKind kind() const { return failure_.kind; }
  const Failure& failure() const { return failure_; }

 private:
  Failure failure_;
};

// A failure with no port (boards are named, not numbered; a refusal is no line's), thrown as the
// one type every driver and check throws: what() is the reason alone.
SerialError failed(FailureKind kind, std::string reason, std::string device = {});

// Thrown out of an action cut short: between its steps, or out of a wait. The rig ends the
// action soundly on its way out (relay 1 off, a sequence's flash back). A std::exception, so
// that every ending has what(); but no failure of the rig: a handler that catches std::exception
// to report a failed step and carry on lets it pass first (catch CutShort and rethrow).
struct CutShort : std::exception {
  enum class Why {
    StopAsked,        // the action's own stop: "stop", a disarm or a withdrawal of its series
    Signal,           // the program was asked to end (Ctrl-C, SIGTERM, SIGHUP, the logout)
    ServiceStopping,  // the rig service is stopping
  };
  Why why = Why::StopAsked;
  int signal = 0;  // Why::Signal: the signal, -1 for a request to end made without one

  CutShort() = default;
  explicit CutShort(Why why, int signal = 0) : why(why), signal(signal) {}
  static CutShort bySignal(int signal) { return CutShort(Why::Signal, signal); }

  // "stopped early as asked" for the action's own stop, "stopped early: the program is ending"
  // for the others.
  const char* what() const noexcept override;
};

// The one conversion, at the edge of whatever runs an action, of what it threw into the failure
// every answer carries: a SerialError as it is; a cut short as Stopped with its words; any other
// std::exception as Other with its what(); anything else as Other, "unknown error". `thrown`
// must hold an exception.
Failure failureOf(const std::exception_ptr& thrown);

// The command line's exit statuses.
namespace exit_status {
constexpr int kSuccess = 0;
constexpr int kFailure = 1;       // anything unexpected
constexpr int kPortNotFound = 2;  // no port to work on
constexpr int kSerial = 3;        // the module or its line failed
constexpr int kNoPanel = 4;       // the command needs a running panel, and none runs
constexpr int kNameTaken = 5;     // serve: another program listens under the socket's name
constexpr int kNotFired = 6;      // an armed shot was refused or disarmed: nothing was fired
constexpr int kLate = 7;          // an armed shot fired, but reached a board more than 2 ms late
constexpr int kUsage = 64;        // the caller's mistake: the command line, or a request it made
// serve: something it was given cannot work (the web port taken, the token file, the journal's
// path); nothing was sent on the port, and a restart would only fail again.
constexpr int kConfiguration = 78;
constexpr int kSignalBase = 128;  // plus the signal that stopped the command
}  // namespace exit_status

// How an action ended, as far as the command line's exit status tells it.
struct Ending {
  std::optional<FailureKind> failure{};  // none: the action did what it was asked
  // For an opening: where it left the link. One that ended "Port Not Found" or "Port Lost" (the
  // port opened and its device went away during the reset) is told by that, not by its kind: a
  // search whose asked port went away ends "Port Not Found" with the kind "device-gone".
  std::optional<Link> opening{};
  std::optional<CutShort> cutShort{};
  bool late = false;  // an armed shot done, but later at a board than its time allows
};

// 0 for an action done (a series ended early by its own stop included); 128 + the signal for one
// a signal cut short (that of Ctrl-C for a request to end made without one); 2 for an opening
// that ended "Port Not Found", 3 for one that ended "Port Lost"; otherwise the status of the
// failure's kind: 2 the port, 3 the module or its line, 6 an armed shot that fired nothing, 64 a
// request that was the caller's mistake, 1 anything else (the service stopping included); 7 for
// an armed shot done late.
int exitStatus(const Ending& ending);

}  // namespace rig
