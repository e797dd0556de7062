#include "Failure.h"

#include <array>
#include <csignal>
#include <utility>

namespace rig {

namespace {

std::string describe(int port, const std::string& device, const std::string& reason) {
  std::string text = "port " + std::to_string(port);
  if (!device.empty()) text += " (" + device + ")";
  return text + ": " + reason;
}

struct KindRow {
  FailureKind kind;
  const char* name;
  int exitStatus;
};

// Every kind with its name on the wire and the exit status of an action that failed so.
constexpr std::array<KindRow, 19> kKinds{{
    {FailureKind::Other, "other", exit_status::kFailure},
    {FailureKind::NoDevice, "no-device", exit_status::kPortNotFound},
    {FailureKind::Busy, "busy", exit_status::kPortNotFound},
    {FailureKind::Permission, "permission", exit_status::kPortNotFound},
    {FailureKind::NotSerialPort, "not-serial-port", exit_status::kPortNotFound},
    {FailureKind::NotOpen, "not-open", exit_status::kPortNotFound},
    {FailureKind::DeviceGone, "device-gone", exit_status::kSerial},
    {FailureKind::WriteFailed, "write-failed", exit_status::kSerial},
    {FailureKind::NoAnswer, "no-answer", exit_status::kSerial},
    {FailureKind::NotUnderstood, "not-understood", exit_status::kSerial},
    {FailureKind::Stopped, "stopped", exit_status::kFailure},
    {FailureKind::NotRun, "not-run", exit_status::kFailure},
    {FailureKind::TooLate, "too-late", exit_status::kNotFired},
    {FailureKind::Conflict, "conflict", exit_status::kNotFired},
    {FailureKind::TooFarAhead, "too-far-ahead", exit_status::kNotFired},
    {FailureKind::ClockUnsynchronized, "clock-unsynchronized", exit_status::kNotFired},
    {FailureKind::Disarmed, "disarmed", exit_status::kNotFired},
    {FailureKind::Ambiguous, "ambiguous", exit_status::kPortNotFound},
    {FailureKind::BadRequest, "bad-request", exit_status::kUsage},
}};

const KindRow& rowOf(FailureKind kind) {
  for (const KindRow& row : kKinds) {
    if (row.kind == kind) return row;
  }
  return kKinds[0];
}

}  // namespace

const char* kindName(FailureKind kind) { return rowOf(kind).name; }

FailureKind kindFromName(std::string_view name) {
  for (const KindRow& row : kKinds) {
    if (name == row.name) return row.kind;
  }
  return FailureKind::Other;
}

SerialError::SerialError(int port, std::string device, std::string reason, FailureKind kind)
    : std::runtime_error(describe(port, device, reason)),
      failure_{kind, port, std::move(device), std::move(reason)} {}

SerialError::SerialError(Failure failure)
    : std::runtime_error(failure.port ? describe(*failure.port, failure.device, failure.reason)
                                      : failure.reason),
      failure_(std::move(failure)) {}

SerialError failed(FailureKind kind, std::string reason, std::string device) {
  return SerialError(Failure{kind, std::nullopt, std::move(device), std::move(reason)});
}

const char* CutShort::what() const noexcept {
  return why == Why::StopAsked ? "stopped early as asked" : "stopped early: the program is ending";
}

Failure failureOf(const std::exception_ptr& thrown) {
  try {
    std::rethrow_exception(thrown);
  } catch (const SerialError& error) {
    return error.failure();
  } catch (const CutShort& cut) {
    return {FailureKind::Stopped, std::nullopt, {}, cut.what()};
  } catch (const std::exception& error) {
    return {FailureKind::Other, std::nullopt, {}, error.what()};
  } catch (...) {  // keeps alive: the caller's answer, whatever was thrown
    return {FailureKind::Other, std::nullopt, {}, "unknown error"};
  }
}

int exitStatus(const Ending& ending) {
  if (ending.cutShort) {
    switch (ending.cutShort->why) {
      case CutShort::Why::StopAsked:
        break;  // ended early as asked: what it did before counts as done
      case CutShort::Why::Signal:
        return exit_status::kSignalBase +
               (ending.cutShort->signal > 0 ? ending.cutShort->signal : SIGINT);
      case CutShort::Why::ServiceStopping:
        return rowOf(FailureKind::Stopped).exitStatus;
    }
  }
  if (ending.failure && ending.opening == Link::NotFound) return exit_status::kPortNotFound;
  if (ending.failure && ending.opening == Link::Lost) return exit_status::kSerial;
  if (ending.failure) return rowOf(*ending.failure).exitStatus;
  return ending.late ? exit_status::kLate : exit_status::kSuccess;
}

}  // namespace rig
