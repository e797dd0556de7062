#include "Requests.h"

#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonParseError>
#include <QRegularExpression>
#include <QStringList>
#include <QTimeZone>
#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <ctime>
#include <string_view>
#include <utility>

#include "rig/Arming.h"
#include "rig/Captions.h"
#include "rig/Labels.h"
#include "rig/Protocol.h"

namespace service {

namespace {

// The latest Unix second a shot time may name: the real-time clock counts nanoseconds in 64 bits,
// which hold about 292 years from 1970, so every time is checked against this before it is
// converted and can never wrap round to a time that has a meaning.
constexpr double kLatestShotSecond = 9e9;

// The actions by their words on the wire; their buttons' captions are in the labels' table.
struct ActionRow {
  Action action;
  const char* name;
};

constexpr std::array<ActionRow, 7> kActions{{
    {Action::Status, "status"},
    {Action::Open, "open"},
    {Action::Flash, "flash"},
    {Action::Shutter, "shutter"},
    {Action::Sequence, "sequence"},
    {Action::Stop, "stop"},
    {Action::Disarm, "disarm"},
}};

double seconds(rig::Clock::duration d) { return std::chrono::duration<double>(d).count(); }

rig::Clock::duration fromSeconds(double s) {
  return std::chrono::duration_cast<rig::Clock::duration>(std::chrono::duration<double>(s));
}

// A time in seconds from the request, within its bounds; the error's words when it is not.
QString readSeconds(const QJsonObject& object, const char* key, rig::Clock::duration least,
                    rig::Clock::duration most, std::optional<double>& into) {
  const QJsonValue value = object.value(QLatin1String(key));
  if (value.isUndefined()) return {};
  const double asked = value.toDouble(-1);
  // The bounds are compared in whole microseconds, so 0.05 is no less than 50 ms.
  if (!value.isDouble() || !std::isfinite(asked) ||
      std::round(asked * 1e6) < seconds(least) * 1e6 ||
      std::round(asked * 1e6) > seconds(most) * 1e6) {
    return QStringLiteral("\"%1\" wants seconds from %2 to %3")
        .arg(QLatin1String(key))
        .arg(seconds(least))
        .arg(seconds(most));
  }
  into = asked;
  return {};
}

// The times of a shutter or sequence request; the error's words when one is wrong or does not
// go with the action.
// "cameras": ["left", "top"], for a shutter. Which names the rig has is the service's to check.
QString readCameras(const QJsonObject& object, Action action, std::vector<QString>& cameras) {
  const QJsonValue value = object.value(QStringLiteral("cameras"));
  if (value.isUndefined()) return {};
  if (action != Action::Shutter) return QStringLiteral("\"cameras\" is for shutter only");
  QString what =
      QStringLiteral("\"cameras\" is a list of 1 to %1 camera names").arg(kMostNamedCameras);
  if (!value.isArray()) return what;
  const QJsonArray names = value.toArray();
  if (names.isEmpty() || names.size() > kMostNamedCameras) return what;
  for (const QJsonValue name : names) {
    if (!name.isString() || name.toString().isEmpty()) return what;
    if (std::find(cameras.begin(), cameras.end(), name.toString()) != cameras.end()) {
      return QStringLiteral("camera \"%1\" is named twice").arg(name.toString().left(40));
    }
    cameras.push_back(name.toString());
  }
  return {};
}

// "flash": "key", for a flash: that flash alone. Which names the rig has is the engine's to check.
QString readFlash(const QJsonObject& object, Action action, QString& flash) {
  const QJsonValue value = object.value(QStringLiteral("flash"));
  if (value.isUndefined()) return {};
  if (action != Action::Flash) return QStringLiteral("\"flash\" is for flash only");
  if (!value.isString() || value.toString().isEmpty()) {
    return QStringLiteral("\"flash\" is the name of one flash");
  }
  flash = value.toString();
  return {};
}

QString readTimes(const QJsonObject& object, Action action, ShotTimes& times) {
  const bool shot = action == Action::Shutter || action == Action::Sequence;
  for (const char* key : {"pulse", "pause", "repeat", "interval"}) {
    if (!object.contains(QLatin1String(key))) continue;
    const bool fits = key == std::string_view("pause") ? action == Action::Sequence : shot;
    if (!fits) {
      return QStringLiteral("\"%1\" does not go with \"%2\"")
          .arg(QLatin1String(key), actionName(action));
    }
  }
  if (!shot) return {};
  QString wrong =
      readSeconds(object, "pulse", rig::kShortestPulse, rig::kLongestPulse, times.pulse);
  if (wrong.isEmpty()) {
    wrong = readSeconds(object, "pause", rig::kShortestPause, rig::kLongestPause, times.pause);
  }
  if (!wrong.isEmpty()) return wrong;
  if (const QJsonValue repeat = object.value(QStringLiteral("repeat")); !repeat.isUndefined()) {
    const double n = repeat.toDouble(0);
    if (!repeat.isDouble() || n != std::trunc(n) || n < 1 || n > rig::kMostShots) {
      return QStringLiteral("\"repeat\" wants a count from 1 to %1").arg(rig::kMostShots);
    }
    times.repeat = static_cast<int>(n);
  }
  const rig::Clock::duration length = rig::shotLength(action == Action::Sequence, times.timings());
  wrong = readSeconds(object, "interval", length, rig::kLongestInterval, times.interval);
  if (!wrong.isEmpty()) {
    return wrong + QStringLiteral(" (at least the shot's own length)");
  }
  return {};
}

// Times in the record keep microseconds: a pulse's width is read from them.
double microseconds(double seconds) { return std::round(seconds * 1e6) / 1e6; }

// Unix seconds, to the microsecond.
double unixSeconds(std::chrono::system_clock::time_point time) {
  const auto us = std::chrono::duration_cast<std::chrono::microseconds>(time.time_since_epoch());
  return static_cast<double>(us.count()) / 1e6;
}

void putId(QJsonObject& answer, const QJsonValue& id) {
  if (!id.isUndefined()) answer.insert(QStringLiteral("id"), id);
}

QJsonObject error(const QString& kind, const QString& message) {
  return QJsonObject{{QStringLiteral("kind"), kind}, {QStringLiteral("message"), message}};
}

bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

// Reads the members of a JSON object's text at its top level, in the order they stand. The text
// must already be known to be one valid JSON object: the reader checks nothing the parser did.
class Members {
 public:
  explicit Members(QByteArrayView text) : text_(text) {
    skipBlanks();
    ++at_;  // the opening brace
  }

  // The next member's key, decoded, and its value's text; false after the last.
  bool next(QString& key, QByteArray& value) {
    skipBlanks();
    if (at_ >= text_.size() || text_[at_] == '}') return false;
    const qsizetype keyStart = at_;
    skipString();
    const QByteArray keyText = "[" + text_.sliced(keyStart, at_ - keyStart).toByteArray() + "]";
    key = QJsonDocument::fromJson(keyText).array().at(0).toString();
    skipBlanks();
    ++at_;  // the colon
    skipBlanks();
    value.clear();
    int depth = 0;
    while (at_ < text_.size()) {
      const char c = text_[at_];
      if (depth == 0 && (c == ',' || c == '}')) break;
      if (c == '"') {
        const qsizetype from = at_;
        skipString();
        value += text_.sliced(from, at_ - from);
        continue;
      }
      if (c == '{' || c == '[') ++depth;
      if (c == '}' || c == ']') --depth;
      if (!isBlank(c)) value += c;
      ++at_;
    }
    if (at_ < text_.size() && text_[at_] == ',') ++at_;
    return true;
  }

 private:
  void skipBlanks() {
    while (at_ < text_.size() && isBlank(text_[at_])) ++at_;
  }
  // From an opening quote to just past its closing one.
  void skipString() {
    ++at_;
    while (at_ < text_.size() && text_[at_] != '"') at_ += text_[at_] == '\\' ? 2 : 1;
    ++at_;
  }

  QByteArrayView text_;
  qsizetype at_ = 0;
};

}  // namespace

QString actionName(Action action) {
  for (const ActionRow& row : kActions) {
    if (row.action == action) return QString::fromLatin1(row.name);
  }
  return {};
}

std::optional<Action> actionFromName(const QString& name) {
  for (const ActionRow& row : kActions) {
    if (name == QLatin1String(row.name)) return row.action;
  }
  return std::nullopt;
}

QString buttonOf(Action action) {
  const std::string_view button = rig::labels::button(actionName(action).toStdString());
  return QString::fromLatin1(button.data(), static_cast<qsizetype>(button.size()));
}

QString originName(Origin origin) {
  switch (origin) {
    case Origin::Click:
      return QStringLiteral("click");
    case Origin::Socket:
      return QStringLiteral("socket");
    case Origin::Broker:
      return QStringLiteral("broker");
    case Origin::Reconnection:
      return QStringLiteral("reconnection");
    case Origin::Web:
      return QStringLiteral("web");
    case Origin::CommandLine:
      return QStringLiteral("command-line");
  }
  return {};
}

rig::Timings ShotTimes::timings(const rig::Timings& base) const {
  rig::Timings timings = base;
  if (pulse) timings.pulse = fromSeconds(*pulse);
  if (pause) timings.pause = fromSeconds(*pause);
  return timings;
}

rig::Clock::duration ShotTimes::spacing(bool sequence, const rig::Timings& base) const {
  return interval ? fromSeconds(*interval) : rig::shotLength(sequence, timings(base));
}

QString failureDetails(const rig::Failure& failure) {
  QString reason = QString::fromStdString(failure.reason);
  if (!failure.port) return reason;
  const QString device = failure.device.empty() ? QStringLiteral("no device is assigned to it")
                                                : QString::fromStdString(failure.device);
  return QStringLiteral("Port %1 (%2): %3").arg(*failure.port).arg(device, reason);
}

Result failed(Action action, const rig::Failure& failure) {
  Result result;
  result.ok = false;
  result.failure = failure;
  result.message = QStringLiteral("%1 failed: %2").arg(buttonOf(action), failureDetails(failure));
  return result;
}

Result notRun(Action action, const QString& why) {
  Result result;
  result.ok = false;
  result.failure = {rig::FailureKind::NotRun, std::nullopt, {}, why.toStdString()};
  result.message = QStringLiteral("%1 not run: %2").arg(buttonOf(action), why);
  return result;
}

std::optional<std::chrono::system_clock::time_point> parseShotTime(const QJsonValue& value) {
  using namespace std::chrono;
  if (value.isDouble()) {
    const double seconds = value.toDouble();
    if (!std::isfinite(seconds) || seconds < 0 || seconds > kLatestShotSecond) return std::nullopt;
    const double whole = std::floor(seconds);
    return system_clock::time_point(duration_cast<system_clock::duration>(
        std::chrono::seconds(static_cast<std::int64_t>(whole)) +
        nanoseconds(std::llround((seconds - whole) * 1e9))));
  }
  if (!value.isString()) return std::nullopt;
  // The fraction is read here: the date parser keeps milliseconds only.
  static const QRegularExpression iso(
      QStringLiteral(R"(^(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d)(?:[.,](\d{1,9}))?(Z|[+-]\d\d:\d\d)$)"));
  const QRegularExpressionMatch match = iso.match(value.toString());
  if (!match.hasMatch()) return std::nullopt;
  const QDateTime whole = QDateTime::fromString(match.captured(1) + match.captured(3), Qt::ISODate);
  if (!whole.isValid()) return std::nullopt;
  const qint64 secondsSinceEpoch = whole.toSecsSinceEpoch();
  if (secondsSinceEpoch < 0 || static_cast<double>(secondsSinceEpoch) > kLatestShotSecond) {
    return std::nullopt;
  }
  const QString fraction = match.captured(2).leftJustified(9, QLatin1Char('0'));
  return system_clock::time_point(duration_cast<system_clock::duration>(
      std::chrono::seconds(secondsSinceEpoch) + nanoseconds(fraction.toLongLong())));
}

ParsedRequest parseRequest(const QByteArray& text) {
  ParsedRequest parsed;
  // The JSON parser skips a UTF-8 byte-order mark; the member reader below must see the same
  // text, or a key given twice would pass unseen.
  const QByteArray json = text.startsWith("\xEF\xBB\xBF") ? text.sliced(3) : text;
  if (json.size() > kMaxRequestBytes) {
    parsed.error = QStringLiteral("request longer than %1 bytes").arg(kMaxRequestBytes);
    return parsed;
  }
  QJsonParseError parseError{};
  const QJsonDocument document = QJsonDocument::fromJson(json, &parseError);
  if (parseError.error != QJsonParseError::NoError || !document.isObject()) {
    parsed.error = QStringLiteral("not a JSON object");
    return parsed;
  }
  const QJsonObject object = document.object();
  parsed.object = object;
  parsed.id = object.value(QStringLiteral("id"));
  // A key given twice leaves it open which one was meant: nothing is run on a guess.
  QStringList keys;
  QString key;
  QByteArray value;
  for (Members members(json); members.next(key, value);) {
    if (key == QLatin1String("id")) parsed.idText = value;
    if (keys.contains(key)) {
      parsed.error = QStringLiteral("\"%1\" is given twice").arg(key.left(40));
      return parsed;
    }
    keys.append(key);
  }
  // The parser takes control characters inside strings as they stand; echoed so, they would make
  // the answer and the journal line invalid JSON (a line feed splits a line in two). Such an id is
  // written as the JSON library writes it, escaped; any other keeps its own text, a long
  // number its digits.
  if (std::any_of(parsed.idText.cbegin(), parsed.idText.cend(),
                  [](char c) { return static_cast<unsigned char>(c) < 0x20; })) {
    const QByteArray wrapped = QJsonDocument(QJsonArray{parsed.id}).toJson(QJsonDocument::Compact);
    parsed.idText = wrapped.sliced(1, wrapped.size() - 2);
  }

  const QJsonValue actionValue = object.value(QStringLiteral("action"));
  if (!actionValue.isString()) {
    parsed.error = QStringLiteral("no \"action\"");
    return parsed;
  }
  const auto action = actionFromName(actionValue.toString());
  if (!action) {
    parsed.error =
        QStringLiteral("unknown action (status, open, flash, shutter, sequence, stop or disarm)");
    return parsed;
  }

  Request request;
  request.action = *action;
  request.id = parsed.id;
  request.idText = parsed.idText;
  if (*action == Action::Open) {
    const QJsonValue port = object.value(QStringLiteral("port"));
    if (port.isString()) {
      request.port = port.toString();
    } else if (port.isDouble() && port.toDouble() == std::trunc(port.toDouble())) {
      request.port = QString::number(port.toDouble(), 'f', 0);
    } else if (port.isDouble()) {
      parsed.error = QStringLiteral("\"port\" is not a whole number");
      return parsed;
    } else {
      parsed.error = QStringLiteral("\"open\" needs a \"port\": a number or \"AUTOMATIC\"");
      return parsed;
    }
  }
  parsed.error = readTimes(object, *action, request.times);
  if (!parsed.error.isEmpty()) return parsed;
  parsed.error = readCameras(object, *action, request.cameras);
  if (!parsed.error.isEmpty()) return parsed;
  parsed.error = readFlash(object, *action, request.flash);
  if (!parsed.error.isEmpty()) return parsed;
  const QJsonValue at = object.value(QStringLiteral("at"));
  const QJsonValue clock = object.value(QStringLiteral("clock"));
  if (!at.isUndefined()) {
    if (*action != Action::Shutter && *action != Action::Sequence) {
      parsed.error = QStringLiteral("\"at\" is for shutter and sequence only");
      return parsed;
    }
    const auto time = parseShotTime(at);
    if (!time) {
      parsed.error = QStringLiteral(
          "\"at\" is not a time from 1970 to 2255 (Unix seconds, or ISO 8601 with its offset: "
          "2026-12-07T20:15:00.250+01:00)");
      return parsed;
    }
    request.shot = ShotTime{*time, false};
  }
  if (!clock.isUndefined()) {
    if (!request.shot || clock != QJsonValue(QStringLiteral("local"))) {
      parsed.error = QStringLiteral("\"clock\" can only be \"local\", with \"at\"");
      return parsed;
    }
    request.shot->localClock = true;
  }
  parsed.request = std::move(request);
  return parsed;
}

namespace {

// The link as a script reads it: opened by number or by search is "open" alike.
const char* linkName(rig::Link link) {
  switch (link) {
    case rig::Link::NotOpened:
      return "closed";
    case rig::Link::Opened:
    case rig::Link::OpenedBySearch:
      return "open";
    case rig::Link::NotFound:
      return "not-found";
    case rig::Link::Lost:
      return "lost";
  }
  return "closed";
}

const char* flashName(rig::Flash flash) {
  switch (flash) {
    case rig::Flash::On:
      return "on";
    case rig::Flash::Off:
      return "off";
    case rig::Flash::Unknown:
      return "unknown";
  }
  return "unknown";
}

const char* lineName(rig::LineState line) {
  switch (line) {
    case rig::LineState::On:
      return "on";
    case rig::LineState::Off:
      return "off";
    case rig::LineState::Unknown:
      return "unknown";
  }
  return "unknown";
}

}  // namespace

QString linkWord(rig::Link link) { return QLatin1String(linkName(link)); }

QString secondsWords(double seconds) {
  return QString::number(std::round(std::max(0.0, seconds) * 10) / 10) + QStringLiteral(" s");
}

namespace {

double secondsOf(std::chrono::system_clock::duration length) {
  return std::chrono::duration<double>(length).count();
}

}  // namespace

QString stopWords(const rig::RunningShots& running, double gone, bool released, int shot,
                  int shots) {
  const QString in = secondsWords(gone);
  const QString pulse = secondsWords(secondsOf(running.pulse));
  if (shots > 0) {
    return released ? QStringLiteral(
                          "the series stops at shot %1 of %2, %3 in: the shutters are "
                          "released now")
                          .arg(shot)
                          .arg(shots)
                          .arg(in)
                    : QStringLiteral("the series stops after shot %1 of %2, its step in progress")
                          .arg(shot)
                          .arg(shots);
  }
  if (running.action == rig::Shots::Sequence) {
    return released
               ? QStringLiteral(
                     "the sequence stops %1 in: the shutters are released now, "
                     "the flashes set back")
                     .arg(in)
               : QStringLiteral("the sequence stops %1 in, after its step in progress").arg(in);
  }
  if (released) {
    return QStringLiteral("stopped %1 into a %2 exposure: the shutters are released now")
        .arg(in, pulse);
  }
  // The two-relay module's pulse is one sleep, never cut short: it closes at its own end.
  const double left = secondsOf(running.until - running.since) - gone;
  return QStringLiteral("stop taken %1 into a %2 exposure: the shutter closes at its end, in %3")
      .arg(in, pulse, secondsWords(left));
}

QString stoppedWords(const rig::RunningShots& running, double gone, int shotsDone,
                     const std::vector<std::string>& notClosed) {
  QString words;
  if (shotsDone > 0) {
    words = QStringLiteral("stopped after shot %1, %2 in").arg(shotsDone).arg(secondsWords(gone));
  } else if (running.action == rig::Shots::Sequence) {
    words = QStringLiteral("stopped %1 into the sequence").arg(secondsWords(gone));
  } else {
    words = QStringLiteral("stopped %1 into a %2 exposure")
                .arg(secondsWords(gone), secondsWords(secondsOf(running.pulse)));
  }
  if (notClosed.empty()) return words + QStringLiteral(", every shutter closed");
  QStringList names;
  for (const std::string& name : notClosed) names.append(QString::fromStdString(name));
  return words + QStringLiteral(", not known to be closed: the shutter of %1")
                     .arg(names.join(QStringLiteral(", ")));
}

State stateOf(const rig::RigState& rig) {
  State state;
  state.rig = rig;
  state.port = rig.port;
  state.device = QString::fromStdString(rig.device);
  state.open = rig.open;
  state.busy = rig.busy;
  state.status = QString::fromStdString(rig::captions::status(rig.link));
  state.statusTip = QString::fromStdString(rig::captions::statusTip(rig));
  state.flash = QString::fromStdString(rig::captions::flash(rig.flash));
  state.shutter = QString::fromStdString(rig::captions::shutter(rig.shutter));
  state.armedAt = rig.armedAt;
  state.armed = QString::fromStdString(rig::captions::armed(rig));
  return state;
}

QJsonObject toJson(const State& state) {
  QJsonObject object{
      {QStringLiteral("open"), state.open},     {QStringLiteral("busy"), state.busy},
      {QStringLiteral("status"), state.status}, {QStringLiteral("statusTip"), state.statusTip},
      {QStringLiteral("flash"), state.flash},   {QStringLiteral("shutter"), state.shutter},
  };
  if (state.boards.empty()) {
    object.insert(QStringLiteral("port"), state.port);
    object.insert(QStringLiteral("device"), state.device);
  } else {
    // A rig file's rig is on its boards, not on the serial control's port.
    QJsonArray boards;
    for (const BoardStatus& board : state.boards) {
      QJsonObject one{{QStringLiteral("name"), board.name},
                      {QStringLiteral("board"), board.board},
                      {QStringLiteral("kind"), board.kind},
                      {QStringLiteral("link"), board.link}};
      if (!board.device.isEmpty()) one.insert(QStringLiteral("device"), board.device);
      boards.append(one);
    }
    object.insert(QStringLiteral("boards"), boards);
  }
  if (!state.rigFile.isEmpty()) object.insert(QStringLiteral("rigFile"), state.rigFile);
  // Typed values beside the captions: a script or a page tests these, never the words.
  object.insert(QStringLiteral("link"), QLatin1String(linkName(state.rig.link)));
  object.insert(QStringLiteral("relays"),
                QJsonObject{{QStringLiteral("flash"), QLatin1String(flashName(state.rig.flash))},
                            {QStringLiteral("shutter"), state.rig.shutter == rig::Shutter::Open
                                                            ? QStringLiteral("on")
                                                            : QStringLiteral("off")}});
  if (!state.broker.isEmpty()) object.insert(QStringLiteral("broker"), state.broker);
  if (state.rig.shots > 0) {
    object.insert(QStringLiteral("series"),
                  QString::fromStdString(rig::captions::series(state.rig)));
    object.insert(QStringLiteral("shot"), state.rig.shot);
    object.insert(QStringLiteral("shots"), state.rig.shots);
  }
  if (state.armedAt) object.insert(QStringLiteral("armedAt"), unixSeconds(*state.armedAt));
  if (const auto& running = state.rig.running) {
    object.insert(QStringLiteral("running"),
                  QJsonObject{{QStringLiteral("action"), running->action == rig::Shots::Sequence
                                                             ? QStringLiteral("sequence")
                                                             : QStringLiteral("shutter")},
                              {QStringLiteral("since"), unixSeconds(running->since)},
                              {QStringLiteral("until"), unixSeconds(running->until)},
                              {QStringLiteral("pulse"), microseconds(secondsOf(running->pulse))}});
  }
  if (state.roles) {
    QJsonArray cameras;
    // Each camera and flash names its board when the state knows it.
    const auto putBoard = [](QJsonObject& role, const std::vector<QString>& boards, std::size_t i) {
      if (i < boards.size()) role.insert(QStringLiteral("board"), boards[i]);
    };
    for (std::size_t i = 0; i < state.roles->cameras.size(); ++i) {
      const rig::CameraLines& camera = state.roles->cameras[i];
      QJsonObject lines{{QStringLiteral("name"), QString::fromStdString(camera.name)},
                        {QStringLiteral("shutter"), QLatin1String(lineName(camera.shutter))}};
      if (camera.focus)
        lines.insert(QStringLiteral("focus"), QLatin1String(lineName(*camera.focus)));
      putBoard(lines, state.cameraBoards, i);
      cameras.append(lines);
    }
    QJsonArray flashes;
    for (std::size_t i = 0; i < state.roles->flashes.size(); ++i) {
      const rig::FlashLine& flash = state.roles->flashes[i];
      QJsonObject line{{QStringLiteral("name"), QString::fromStdString(flash.name)},
                       {QStringLiteral("line"), QLatin1String(lineName(flash.line))}};
      putBoard(line, state.flashBoards, i);
      flashes.append(line);
    }
    object.insert(QStringLiteral("cameras"), cameras);
    object.insert(QStringLiteral("flashes"), flashes);
  }
  return object;
}

namespace {

// "2026-12-07T19:20:01.123456+01:00": local time, to the microsecond, with its offset.
void localTime(std::time_t time, std::tm& local) {
#ifdef _WIN32
  localtime_s(&local, &time);
#else
  localtime_r(&time, &local);
#endif
}

QJsonArray shotRecords(const std::vector<ShotRecord>& shots) {
  QJsonArray records;
  for (const ShotRecord& one : shots) {
    QJsonObject record{{QStringLiteral("shot"), one.number},
                       {QStringLiteral("t"), microseconds(one.seconds)},
                       {QStringLiteral("ok"), one.ok}};
    if (!one.ok) record.insert(QStringLiteral("kind"), QLatin1String(rig::kindName(one.kind)));
    records.append(record);
  }
  return records;
}

// When the carriage return of the two-relay rig's armed "relay on 1" reached the line.
std::optional<std::chrono::system_clock::time_point> shutterCarriageReturn(const Result& result) {
  const QString shotCommand =
      QString::fromStdString(rig::protocol::switchCommand(rig::protocol::kShutterRelay, true));
  for (const TimedCommand& sent : result.commands) {
    if (sent.command != shotCommand) continue;
    // Stamped as the write began; its carriage return is the command's last byte on the line.
    return sent.clock + std::chrono::duration_cast<std::chrono::system_clock::duration>(
                            rig::wireTime(rig::protocol::frame(shotCommand.toStdString()).size()));
  }
  return std::nullopt;
}

// What an armed shot came to at the line: {"boards": [{"board", "error"}], "error"}, "error" the
// worst, in seconds; with "carriageReturn" too when "relay on 1" went out on the serial control.
std::optional<QJsonObject> shotRecord(const Request& request, const Result& result) {
  if (!request.shot) return std::nullopt;
  const std::optional<double> error = shotError(request, result);
  if (!error) return std::nullopt;
  QJsonObject shot{{QStringLiteral("error"), microseconds(*error)}};
  if (const auto carriageReturn = shutterCarriageReturn(result)) {
    shot.insert(QStringLiteral("carriageReturn"), unixSeconds(*carriageReturn));
  }
  if (result.boardShots.empty()) return shot;
  QJsonArray boards;
  for (const BoardShot& board : result.boardShots) {
    boards.append(QJsonObject{{QStringLiteral("board"), board.board},
                              {QStringLiteral("error"), microseconds(board.error)}});
  }
  shot.insert(QStringLiteral("boards"), boards);
  return shot;
}

}  // namespace

std::optional<double> shotError(const Request& request, const Result& result) {
  if (!request.shot) return std::nullopt;
  if (!result.boardShots.empty()) {
    return std::max_element(
               result.boardShots.begin(), result.boardShots.end(),
               [](const BoardShot& a, const BoardShot& b) { return a.error < b.error; })
        ->error;
  }
  const auto carriageReturn = shutterCarriageReturn(result);
  if (!carriageReturn) return std::nullopt;
  return std::chrono::duration<double>(*carriageReturn - request.shot->at).count();
}

bool late(const Request& request, const Result& result) {
  const std::optional<double> error = shotError(request, result);
  return error && *error > kLateAfterSeconds;
}

namespace {

// A request and its result as one record, for its client or for the journal. Both say what was
// asked and how it ended, with every command; the answer adds the state and what an armed shot
// came to, the journal the times asked for.
QJsonObject record(const Request& request, const Result& result, bool journal) {
  QJsonObject object{{QStringLiteral("ok"), result.ok},
                     {QStringLiteral("action"), actionName(request.action)}};
  putId(object, request.id);
  if (!result.ok) {
    object.insert(QStringLiteral("error"), errorOf(result));
  }
  if (result.stopped) object.insert(QStringLiteral("stopped"), true);
  if (result.ok && !result.message.isEmpty()) {
    object.insert(QStringLiteral("message"), result.message);
  }
  if (result.stoppedAfter) {
    object.insert(QStringLiteral("stoppedAfter"), std::round(*result.stoppedAfter * 1e3) / 1e3);
  }
  if (!result.shots.empty()) object.insert(QStringLiteral("shots"), shotRecords(result.shots));
  const bool armed = !journal && request.shot.has_value();
  QJsonArray commands;
  for (const TimedCommand& sent : result.commands) {
    QJsonObject command{{QStringLiteral("t"), microseconds(sent.seconds)},
                        {QStringLiteral("command"), sent.command}};
    if (armed) command.insert(QStringLiteral("clock"), unixSeconds(sent.clock));
    commands.append(command);
  }
  const std::optional<QJsonObject> shot = shotRecord(request, result);
  // Fired, but later at a board than the shot may be: said in the answer and the journal alike.
  if (shot && late(request, result)) {
    object.insert(QStringLiteral("late"), shot->value(QStringLiteral("error")));
  }
  if (journal) {
    if (shot) object.insert(QStringLiteral("shot"), *shot);
    // A stop's record has no commands: it sends none of its own.
    if (request.action != Action::Stop) object.insert(QStringLiteral("commands"), commands);
    if (request.action == Action::Open) object.insert(QStringLiteral("port"), request.port);
    const ShotTimes& times = request.times;
    if (times.pulse) object.insert(QStringLiteral("pulse"), *times.pulse);
    if (times.pause) object.insert(QStringLiteral("pause"), *times.pause);
    if (times.repeat) object.insert(QStringLiteral("repeat"), *times.repeat);
    if (times.interval) object.insert(QStringLiteral("interval"), *times.interval);
    if (request.shot) object.insert(QStringLiteral("at"), unixSeconds(request.shot->at));
    if (!request.cameras.empty()) {
      object.insert(
          QStringLiteral("cameras"),
          QJsonArray::fromStringList(QStringList(request.cameras.begin(), request.cameras.end())));
    }
    if (!request.flash.isEmpty()) object.insert(QStringLiteral("flash"), request.flash);
    return object;
  }
  object.insert(QStringLiteral("commands"), commands);
  object.insert(QStringLiteral("state"), toJson(result.state));
  if (result.clock) {
    QJsonObject clock{{QStringLiteral("synchronized"), result.clock->synchronized}};
    if (result.clock->estimatedError) {
      clock.insert(QStringLiteral("estimatedError"), *result.clock->estimatedError);
    }
    if (result.clock->maxError) clock.insert(QStringLiteral("maxError"), *result.clock->maxError);
    object.insert(QStringLiteral("clock"), clock);
  }
  if (result.ended) object.insert(QStringLiteral("ended"), *result.ended);
  if (result.spacing) object.insert(QStringLiteral("spacing"), microseconds(*result.spacing));
  if (armed) {
    object.insert(QStringLiteral("at"), unixSeconds(request.shot->at));
    if (shot) object.insert(QStringLiteral("shot"), *shot);
  }
  return object;
}

}  // namespace

QJsonObject toJson(const Request& request, const Result& result) {
  return record(request, result, false);
}

QByteArray answerText(const Request& request, const Result& result, const QJsonObject& extra) {
  QJsonObject answer = record(request, result, false);
  for (auto it = extra.begin(); it != extra.end(); ++it) answer.insert(it.key(), it.value());
  return answerText(answer, request.idText);
}

QByteArray journalLine(const Request& request, const Result& result,
                       std::chrono::system_clock::time_point started) {
  QJsonObject line = record(request, result, true);
  line.insert(QStringLiteral("time"), wallClockText(started));
  line.insert(QStringLiteral("channel"), originName(request.origin));
  return answerText(line, request.idText);
}

QByteArray startNotice(const Request& request) {
  QJsonObject notice{{QStringLiteral("started"), actionName(request.action)}};
  putId(notice, request.id);
  return answerText(notice, request.idText);
}

QString wallClockText(std::chrono::system_clock::time_point at) {
  using namespace std::chrono;
  const auto micros = duration_cast<std::chrono::microseconds>(at.time_since_epoch()).count();
  const auto whole = static_cast<std::time_t>(micros / 1'000'000);
  const auto fraction = micros % 1'000'000;
  std::tm local{};
  localTime(whole, local);
  char date[32];
  std::strftime(date, sizeof date, "%Y-%m-%dT%H:%M:%S", &local);
  char zone[8];
  std::strftime(zone, sizeof zone, "%z", &local);  // +0100
  const QString offset = QString::fromLatin1(zone);
  return QStringLiteral("%1.%2%3:%4")
      .arg(QLatin1String(date))
      .arg(fraction, 6, 10, QLatin1Char('0'))
      .arg(offset.left(3), offset.mid(3));
}

QJsonObject errorAnswer(const QString& kind, const QString& message, const QJsonValue& id) {
  QJsonObject answer{{QStringLiteral("ok"), false},
                     {QStringLiteral("error"), error(kind, message)}};
  putId(answer, id);
  return answer;
}

QJsonObject errorOf(const Result& result) {
  return error(QString::fromLatin1(rig::kindName(result.failure.kind)), result.message);
}

QJsonObject badRequestAnswer(const QString& message, const QJsonValue& id) {
  return errorAnswer(QStringLiteral("bad-request"), message, id);
}

QByteArray badRequestText(const ParsedRequest& parsed) {
  return answerText(badRequestAnswer(parsed.error, parsed.id), parsed.idText);
}

QByteArray answerText(const QJsonObject& answer, const QByteArray& idText) {
  if (idText.isEmpty()) return QJsonDocument(answer).toJson(QJsonDocument::Compact);
  QJsonObject rest = answer;
  rest.remove(QStringLiteral("id"));
  QByteArray text = QJsonDocument(rest).toJson(QJsonDocument::Compact);
  // The id goes first, as its own text.
  text.insert(1, "\"id\":" + idText + (rest.isEmpty() ? "" : ","));
  return text;
}

}  // namespace service
