#include "Remote.h"

#include <chrono>

#include <QDateTime>
#include <QEventLoop>
#include <QJsonArray>
#include <QJsonDocument>
#include <QTimeZone>
#include <array>
#include <cmath>
#include <cstdio>
#include <exception>
#include <iostream>
#include <optional>
#include <stdexcept>
#include <string>

#include "rig/SystemClock.h"
#include "session/StopWatch.h"

namespace cli {

namespace {

// How long a connection to a listening endpoint may take.
constexpr int kConnectMs = 2000;

rig::FailureKind kindOf(const QJsonObject& answer) {
  return rig::kindFromName(answer.value(QStringLiteral("error"))
                               .toObject()
                               .value(QStringLiteral("kind"))
                               .toString()
                               .toStdString());
}

std::string text(const QJsonValue& value) {
  if (value.isBool()) return value.toBool() ? "true" : "false";
  if (value.isDouble()) return QString::number(value.toDouble()).toStdString();
  return escaped(value.toString().toStdString());
}

// The progress lines of an answer: the commands put on the line, then what the panel shows.
void showProgress(const QJsonObject& answer, Console& console) {
  for (const QJsonValue sent : answer.value(QStringLiteral("commands")).toArray()) {
    char stamp[32];
    std::snprintf(stamp, sizeof stamp, "%.3f",
                  sent.toObject().value(QStringLiteral("t")).toDouble());
    console.line(std::string(stamp) +
                 " sent: " + text(sent.toObject().value(QStringLiteral("command"))));
  }
  const QJsonObject state = answer.value(QStringLiteral("state")).toObject();
  console.line("status: " + text(state.value(QStringLiteral("status"))));
  console.line("flash button: " + text(state.value(QStringLiteral("flash"))));
  console.line("shutter button: " + text(state.value(QStringLiteral("shutter"))));
}

// A camera as its lines stand: its shutter open, focusing (the half-press alone), closed (every
// line off), or unknown (a line not known to be off, and none on).
std::string cameraWords(const QJsonObject& camera) {
  const QString shutter = camera.value(QStringLiteral("shutter")).toString();
  const QString focus = camera.value(QStringLiteral("focus")).toString(QStringLiteral("off"));
  if (shutter == QLatin1String("on")) return "shutter open";
  if (focus == QLatin1String("on")) return "focusing";
  if (shutter == QLatin1String("off") && focus == QLatin1String("off")) return "closed";
  return "unknown";
}

// `status`: one "name: value" line per field of the state. The values a script tests (link, relays,
// the series' shot of shots, the armed shot's time) stand beside the window's words for them (the
// status box, the button captions), which are printed as they were.
void printState(const QJsonObject& state) {
  const auto print = [](const char* name, const QJsonValue& value) {
    if (!value.isUndefined()) std::cout << name << ": " << text(value) << '\n';
  };
  // A rig file's rig is named by its file, in place of the two-relay rig's port and device.
  for (const char* field :
       {"rigFile", "port", "device", "open", "busy", "link", "status", "statusTip"}) {
    print(field, state.value(QLatin1String(field)));
  }
  const QJsonObject relays = state.value(QStringLiteral("relays")).toObject();
  print("relays.flash", relays.value(QStringLiteral("flash")));
  print("relays.shutter", relays.value(QStringLiteral("shutter")));
  for (const char* field : {"flash", "shutter", "shot", "shots"}) {
    print(field, state.value(QLatin1String(field)));
  }
  if (const QJsonValue at = state.value(QStringLiteral("armedAt")); at.isDouble()) {
    const auto ms = static_cast<qint64>(std::llround(at.toDouble() * 1000));
    print("armedAt",
          QDateTime::fromMSecsSinceEpoch(ms, QTimeZone::utc()).toString(Qt::ISODateWithMs));
  }
  print("broker", state.value(QStringLiteral("broker")));
  // A described rig in words, each part led by what it is now: "board.ring: open, device
  // /dev/ttyACM0, board text-id:RING8, kind text-id", "camera.cam1: focusing, board ring,
  // shutter off, focus on" and "flash.key: off, board lights".
  for (const QJsonValue entry : state.value(QStringLiteral("boards")).toArray()) {
    const QJsonObject board = entry.toObject();
    std::string fields = text(board.value(QStringLiteral("link")));
    if (board.contains(QStringLiteral("device")))
      fields += ", device " + text(board.value(QStringLiteral("device")));
    fields += ", board " + text(board.value(QStringLiteral("board"))) + ", kind " +
              text(board.value(QStringLiteral("kind")));
    std::cout << "board." << text(board.value(QStringLiteral("name"))) << ": " << fields << '\n';
  }
  const auto onBoard = [](const QJsonObject& role) {
    return role.contains(QStringLiteral("board"))
               ? ", board " + text(role.value(QStringLiteral("board")))
               : std::string();
  };
  for (const QJsonValue entry : state.value(QStringLiteral("cameras")).toArray()) {
    const QJsonObject camera = entry.toObject();
    std::string lines = cameraWords(camera) + onBoard(camera) + ", shutter " +
                        text(camera.value(QStringLiteral("shutter")));
    if (camera.contains(QStringLiteral("focus")))
      lines += ", focus " + text(camera.value(QStringLiteral("focus")));
    std::cout << "camera." << text(camera.value(QStringLiteral("name"))) << ": " << lines << '\n';
  }
  for (const QJsonValue entry : state.value(QStringLiteral("flashes")).toArray()) {
    const QJsonObject flash = entry.toObject();
    std::cout << "flash." << text(flash.value(QStringLiteral("name"))) << ": "
              << text(flash.value(QStringLiteral("line"))) << onBoard(flash) << '\n';
  }
  std::cout.flush();
}

}  // namespace

std::optional<service::Action> actionOf(Command command) {
  switch (command) {
    case Command::Status:
      return service::Action::Status;
    case Command::Open:
      return service::Action::Open;
    case Command::Flash:
      return service::Action::Flash;
    case Command::Shutter:
      return service::Action::Shutter;
    case Command::Sequence:
      return service::Action::Sequence;
    case Command::Stop:
      return service::Action::Stop;
    default:
      return std::nullopt;
  }
}

service::ShotTimes shotTimes(const Options& options) {
  service::ShotTimes times;
  times.pulse = options.pulse;
  times.pause = options.pause;
  times.repeat = options.repeat;
  times.interval = options.interval;
  return times;
}

std::string inCliTerms(const QString& message) {
  QString words = message;
  words.replace(QStringLiteral("\"clock\": \"local\""), QStringLiteral("--local-clock"));
  return words.toStdString();
}

void complain(const std::string& message) { std::cerr << "quillmar-cli: " << message << std::endl; }

bool PanelClient::connect(const QString& address) {
  socket_.connectToServer(address);
  return socket_.waitForConnected(kConnectMs);
}

QJsonObject PanelClient::readLine() {
  const QJsonDocument line = QJsonDocument::fromJson(socket_.readLine());
  if (!line.isObject()) throw std::runtime_error("the panel's answer is not JSON");
  return line.object();
}

QJsonObject PanelClient::ask(const QJsonObject& request, int& stoppedBy) {
  QJsonObject told = request;
  // The panel says when the request starts: until then a stop withdraws it.
  told.insert(QStringLiteral("notify"), QStringLiteral("start"));
  socket_.write(QJsonDocument(told).toJson(QJsonDocument::Compact) + '\n');
  stoppedBy = 0;
  std::optional<QJsonObject> answer;
  std::exception_ptr fault;  // a line that is no JSON, thrown once the wait is over
  bool closed = false;
  QEventLoop loop;
  // Every whole line so far; the answer, a line that is no answer, or the connection's end ends
  // the wait.
  const auto take = [&] {
    try {
      while (!answer && socket_.canReadLine()) {
        QJsonObject line = readLine();
        if (!line.contains(QStringLiteral("started"))) answer = std::move(line);
      }
    } catch (const std::runtime_error&) {
      fault = std::current_exception();
    }
    closed = socket_.state() != QLocalSocket::ConnectedState;
    if (answer || fault || closed) loop.quit();
  };
  QObject::connect(&socket_, &QLocalSocket::readyRead, &loop, take);
  QObject::connect(&socket_, &QLocalSocket::disconnected, &loop, take);
  const service::StopWatch stopWatch([this, &stoppedBy](int signal) {
    stoppedBy = signal;
    // Not started: the panel keeps it from running and answers "not-run". Started, an armed shot
    // still waiting is disarmed and a series ends after its step; any other action is answered
    // when it has ended.
    socket_.write("{\"withdraw\":true}\n");
  });
  take();
  if (!answer && !fault && !closed) loop.exec();
  if (fault) std::rethrow_exception(fault);
  if (!answer) throw std::runtime_error("the panel closed the connection before answering");
  return *answer;
}

rig::Ending endingOf(const QJsonObject& answer) {
  rig::Ending ending;
  if (answer.value(QStringLiteral("ok")).toBool()) {
    ending.late = answer.contains(QStringLiteral("late"));
    return ending;
  }
  ending.failure = kindOf(answer);
  if (answer.value(QStringLiteral("action")).toString() == QLatin1String("open")) {
    const QString link =
        answer.value(QStringLiteral("state")).toObject().value(QStringLiteral("link")).toString();
    if (link == QLatin1String("not-found")) ending.opening = rig::Link::NotFound;
    if (link == QLatin1String("lost")) ending.opening = rig::Link::Lost;
  }
  return ending;
}

rig::Ending endingOf(const service::Request& request, const service::Result& result) {
  rig::Ending ending;
  if (result.ok) {
    ending.late = service::late(request, result);
    return ending;
  }
  ending.failure = result.failure.kind;
  if (request.action == service::Action::Open) ending.opening = result.state.rig.link;
  return ending;
}

std::string lateWords(const QJsonObject& answer) {
  const auto ms = [](const QJsonValue& seconds) {
    return QString::number(seconds.toDouble() * 1000, 'f', 1).toStdString() + " ms";
  };
  std::string words = "fired, but it reached the line " + ms(answer.value(QStringLiteral("late"))) +
                      " after its time";
  const QJsonArray boards =
      answer.value(QStringLiteral("shot")).toObject().value(QStringLiteral("boards")).toArray();
  for (qsizetype i = 0; i < boards.size(); ++i) {
    const QJsonObject board = boards[i].toObject();
    words += (i == 0 ? " (board " : ", board ") +
             board.value(QStringLiteral("board")).toString().toStdString() + " " +
             ms(board.value(QStringLiteral("error")));
  }
  return boards.isEmpty() ? words : words + ")";
}

std::string openingFailure(const rig::Ending& ending) {
  if (!ending.failure || !ending.opening) return {};
  switch (*ending.opening) {
    case rig::Link::NotFound:
      // A board that is there but cannot be used (too few relays, another answer) is no port
      // that is missing.
      return *ending.failure == rig::FailureKind::Other ||
                     *ending.failure == rig::FailureKind::NotUnderstood
                 ? "cannot open: "
                 : "port not found: ";
    case rig::Link::Lost:
      return "port lost: ";
    default:
      return {};
  }
}

void putShotTime(QJsonObject& request, const Options& options) {
  if (options.in) {
    const double now =
        std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
    request.insert(QStringLiteral("at"), now + *options.in);
  } else if (options.at) {
    // A number stays a number; any other text goes as it is, for the rig to read.
    bool isNumber = false;
    const double seconds = QString::fromStdString(*options.at).toDouble(&isNumber);
    request.insert(QStringLiteral("at"), isNumber
                                             ? QJsonValue(seconds)
                                             : QJsonValue(QString::fromStdString(*options.at)));
  }
  if (options.localClock) request.insert(QStringLiteral("clock"), QStringLiteral("local"));
}

int runThroughPanel(const Options& options, PanelClient& panel, Console& console) {
  const std::string name(commandName(options.command));
  const service::Action action = actionOf(options.command).value_or(service::Action::Status);
  QJsonObject request{{QStringLiteral("action"), service::actionName(action)}};
  if (options.command == Command::Open) {
    request.insert(QStringLiteral("port"), QString::fromStdString(options.selector));
  }
  // One request, however many shots: the rig runs the series, and ends it on a stop.
  const service::ShotTimes times = shotTimes(options);
  if (times.pulse) request.insert(QStringLiteral("pulse"), *times.pulse);
  if (times.pause) request.insert(QStringLiteral("pause"), *times.pause);
  if (times.repeat) request.insert(QStringLiteral("repeat"), *times.repeat);
  if (times.interval) request.insert(QStringLiteral("interval"), *times.interval);
  if (!options.cameras.empty()) {
    QJsonArray cameras;
    for (const std::string& camera : options.cameras)
      cameras.append(QString::fromStdString(camera));
    request.insert(QStringLiteral("cameras"), cameras);
  }
  if (!options.flash.empty()) {
    request.insert(QStringLiteral("flash"), QString::fromStdString(options.flash));
  }
  putShotTime(request, options);
  if (!options.selector.empty() && options.command != Command::Open) {
    console.line("a panel is running: its port is used, not --port/--auto (--direct for those)");
  }
  try {
    {
      int stoppedBy = 0;
      const QJsonObject answer = panel.ask(request, stoppedBy);
      if (stoppedBy != 0) {
        const rig::FailureKind kind = kindOf(answer);  // Other when it did not fail
        std::string by = rig::SystemClock::signalName(stoppedBy);
        if (kind == rig::FailureKind::NotRun) {
          complain(name + " not run: withdrawn on " + by.append(" before it started"));
        } else if (kind == rig::FailureKind::Disarmed) {
          complain(name + " disarmed on " + by.append(" before its shot: nothing fired"));
        } else if (answer.value(QStringLiteral("stopped")).toBool()) {
          showProgress(answer, console);
          complain(name + " stopped by " + by.append(" after its shot in progress"));
        } else {
          // It had started: the panel ran it to its end; what it sent is shown.
          if (options.json) {
            std::cout << QJsonDocument(answer).toJson(QJsonDocument::Compact).toStdString()
                      << std::endl;
          } else {
            showProgress(answer, console);
          }
          complain(name + " stopped by " + by.append(" after it had started; it ran to its end"));
        }
        return rig::exitStatus({.cutShort = rig::CutShort::bySignal(stoppedBy)});
      }
      const rig::Ending ending = endingOf(answer);
      const int status = rig::exitStatus(ending);
      if (options.json) {
        std::cout << QJsonDocument(answer).toJson(QJsonDocument::Compact).toStdString()
                  << std::endl;
      } else if (options.command == Command::Status) {
        printState(answer.value(QStringLiteral("state")).toObject());
      } else if (options.command == Command::Stop) {
        // The service's own words say what the stop reached and when the shutters close.
        const QString words = answer.value(QStringLiteral("message")).toString();
        console.line(!answer.value(QStringLiteral("stopped")).toBool() ? "nothing was running"
                     : !words.isEmpty()                                ? words.toStdString()
                                        : "the running series stops after its step in progress");
      } else {
        showProgress(answer, console);
        if (const QJsonValue spacing = answer.value(QStringLiteral("spacing"));
            spacing.isDouble()) {
          console.line("the shots ran up to " + text(spacing) +
                       " s apart: a shot takes longer than the interval asked");
        }
        if (answer.value(QStringLiteral("stopped")).toBool()) {
          const QString words = answer.value(QStringLiteral("message")).toString();
          console.line(
              !words.isEmpty()
                  ? words.toStdString()
                  : "stopped after shot " +
                        std::to_string(answer.value(QStringLiteral("shots")).toArray().size()));
        }
      }
      if (ending.late) {
        complain(name + " " + lateWords(answer));
        return status;
      }
      if (status != 0) {
        const QString message = answer.value(QStringLiteral("error"))
                                    .toObject()
                                    .value(QStringLiteral("message"))
                                    .toString();
        // The message is the panel's own warning ("Main Flash failed: ..."), or for an opening
        // the reason of "Port Not Found" or "Port Lost".
        complain(openingFailure(ending) + inCliTerms(message));
        return status;
      }
    }
    if (const int signal = rig::SystemClock::stopRequested()) {
      throw rig::CutShort::bySignal(signal);
    }
    return 0;
  } catch (const rig::CutShort& stop) {
    // The panel runs an action it has started to its end: a pulse ends with relay 1 off there.
    complain(name + " stopped by " + rig::SystemClock::signalName(stop.signal));
    return rig::exitStatus({.cutShort = stop});
  } catch (const std::exception& error) {
    complain(name + " failed: " + error.what());
    return kExitFailure;
  }
}

}  // namespace cli
