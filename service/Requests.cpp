#include "Requests.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonParseError>
#include <array>
#include <cmath>
#include <utility>

#include "rig/Captions.h"

namespace service {

namespace {

struct ActionRow {
  Action action;
  const char* name;    // on the wire
  const char* button;  // on the window, and in messages
};

constexpr std::array<ActionRow, 5> kActions{{
    {Action::Status, "status", "Status"},
    {Action::Open, "open", "Open Com Port"},
    {Action::Flash, "flash", "Main Flash"},
    {Action::Shutter, "shutter", "Camera Shutter"},
    {Action::Sequence, "sequence", "Start"},
}};

// Times in the record keep microseconds: a pulse's width is read from them.
double microseconds(double seconds) { return std::round(seconds * 1e6) / 1e6; }

void putId(QJsonObject& answer, const QJsonValue& id) {
  if (!id.isUndefined()) answer.insert(QStringLiteral("id"), id);
}

QJsonObject error(const QString& kind, const QString& message) {
  return QJsonObject{{QStringLiteral("kind"), kind}, {QStringLiteral("message"), message}};
}

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
  for (const ActionRow& row : kActions) {
    if (row.action == action) return QString::fromLatin1(row.button);
  }
  return {};
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

ParsedRequest parseRequest(const QByteArray& json) {
  ParsedRequest parsed;
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
  parsed.id = object.value(QStringLiteral("id"));

  const QJsonValue actionValue = object.value(QStringLiteral("action"));
  if (!actionValue.isString()) {
    parsed.error = QStringLiteral("no \"action\"");
    return parsed;
  }
  const auto action = actionFromName(actionValue.toString());
  if (!action) {
    parsed.error = QStringLiteral("unknown action (status, open, flash, shutter or sequence)");
    return parsed;
  }

  Request request;
  request.action = *action;
  request.id = parsed.id;
  if (*action == Action::Open) {
    const QJsonValue port = object.value(QStringLiteral("port"));
    if (port.isString()) {
      request.port = port.toString();
    } else if (port.isDouble()) {
      request.port = QString::number(port.toDouble());
    } else {
      parsed.error = QStringLiteral("\"open\" needs a \"port\": a number or \"AUTOMATIC\"");
      return parsed;
    }
  }
  parsed.request = std::move(request);
  return parsed;
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
  return state;
}

QJsonObject toJson(const State& state) {
  QJsonObject object{
      {QStringLiteral("port"), state.port},     {QStringLiteral("device"), state.device},
      {QStringLiteral("open"), state.open},     {QStringLiteral("busy"), state.busy},
      {QStringLiteral("status"), state.status}, {QStringLiteral("statusTip"), state.statusTip},
      {QStringLiteral("flash"), state.flash},   {QStringLiteral("shutter"), state.shutter},
  };
  if (!state.broker.isEmpty()) object.insert(QStringLiteral("broker"), state.broker);
  return object;
}

QJsonObject toJson(const Request& request, const Result& result) {
  QJsonObject answer{{QStringLiteral("ok"), result.ok},
                     {QStringLiteral("action"), actionName(request.action)},
                     {QStringLiteral("state"), toJson(result.state)}};
  putId(answer, request.id);
  if (!result.ok) {
    answer.insert(QStringLiteral("error"),
                  error(QString::fromLatin1(rig::kindName(result.failure.kind)), result.message));
  }
  QJsonArray commands;
  for (const TimedCommand& sent : result.commands) {
    commands.append(QJsonObject{{QStringLiteral("t"), microseconds(sent.seconds)},
                                {QStringLiteral("command"), sent.command}});
  }
  answer.insert(QStringLiteral("commands"), commands);
  return answer;
}

QJsonObject badRequestAnswer(const QString& message, const QJsonValue& id) {
  QJsonObject answer{{QStringLiteral("ok"), false},
                     {QStringLiteral("error"), error(QStringLiteral("bad-request"), message)}};
  putId(answer, id);
  return answer;
}

}  // namespace service
