#include "Requests.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonParseError>
#include <array>
#include <cmath>
#include <utility>

namespace service {

namespace {

constexpr std::array<std::pair<Action, const char*>, 5> kActions{{
    {Action::Status, "status"},
    {Action::Open, "open"},
    {Action::Flash, "flash"},
    {Action::Shutter, "shutter"},
    {Action::Sequence, "sequence"},
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
  for (const auto& [value, name] : kActions) {
    if (value == action) return QString::fromLatin1(name);
  }
  return {};
}

std::optional<Action> actionFromName(const QString& name) {
  for (const auto& [value, text] : kActions) {
    if (name == QLatin1String(text)) return value;
  }
  return std::nullopt;
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
                  error(QString::fromLatin1(rig::kindName(result.kind)), result.message));
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
