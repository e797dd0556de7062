#include "Fire.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTimer>
#include <algorithm>
#include <chrono>
#include <iostream>
#include <map>
#include <set>

#include "Remote.h"
#include "bridge/Link.h"
#include "rig/SystemClock.h"
#include "session/StopWatch.h"

namespace cli {

namespace {

// How long the broker may take to answer before the command gives up; the shot is usually a
// second or two ahead, so a later publish would be refused by the rigs as too late anyway.
constexpr int kConnectLimitMs = 5000;
// The rigs' retained states come right after the subscription: by then every rig online is known.
constexpr int kRollCallMs = 1000;

// The rig's name in a topic "quillmar/<rig>/<leaf>"; empty for other topics.
QString rigOf(const QString& topic, QLatin1String leaf) {
  const QStringList parts = topic.split(QLatin1Char('/'));
  if (parts.size() != 3 || parts[0] != QLatin1String("quillmar") || parts[2] != leaf) return {};
  return parts[1];
}

}  // namespace

int fire(const Options& options, const bridge::BrokerSettings& broker, Console& console) {
  bridge::Link link(broker,
                    {QStringLiteral("quillmar/+/state"), QStringLiteral("quillmar/+/result")}, {});
  QEventLoop loop;
  QString failure;
  bool published = false;
  std::set<QString> online;
  std::map<QString, QJsonObject> results;
  // The request's own id: a rig's result names it, whatever else the rigs are answering.
  const QString id = QStringLiteral("fire-%1-%2")
                         .arg(QCoreApplication::applicationPid())
                         .arg(std::chrono::system_clock::now().time_since_epoch().count());
  QJsonObject request{
      {QStringLiteral("action"),
       options.fired == Command::Sequence ? QStringLiteral("sequence") : QStringLiteral("shutter")},
      {QStringLiteral("id"), id}};
  const auto allAnswered = [&] {
    return !online.empty() && std::all_of(online.begin(), online.end(), [&](const QString& rig) {
      return results.count(rig) != 0;
    });
  };
  QTimer deadline;
  deadline.setSingleShot(true);
  QObject::connect(&deadline, &QTimer::timeout, &loop, &QEventLoop::quit);

  QObject::connect(&link, &bridge::Link::up, &loop, [&] {
    if (published) return;  // a reconnection: the request is on its way already
    published = true;
    // Taken once the link is up, so that --in counts from the publish, not from the connecting.
    putShotTime(request, options);
    const QByteArray sent = QJsonDocument(request).toJson(QJsonDocument::Compact);
    // Not retained: a rig that connects later must not fire an old shot.
    link.publish({QStringLiteral("quillmar/all/command"), sent, false}, true);
    console.line("published to quillmar/all/command: " + sent.toStdString());
    // Results come once each rig's shot has run: wait until the shot's time and then --timeout.
    auto wait = std::chrono::milliseconds(static_cast<qint64>(options.timeout * 1000));
    if (const auto at = service::parseShotTime(request.value(QStringLiteral("at")))) {
      wait += std::chrono::duration_cast<std::chrono::milliseconds>(
          std::max(*at - std::chrono::system_clock::now(), std::chrono::system_clock::duration{}));
    }
    deadline.start(wait);
    QTimer::singleShot(kRollCallMs, &loop, [&] {
      if (online.empty()) loop.quit();
    });
  });
  QObject::connect(&link, &bridge::Link::down, &loop,
                   [&](const QString& reason, bool refused, std::chrono::milliseconds) {
                     if (published || !refused) return;  // retried until the limit
                     failure = QStringLiteral("the broker refused the connection: ") + reason;
                     loop.quit();
                   });
  QObject::connect(&link, &bridge::Link::received, &loop,
                   [&](const QString& topic, const QByteArray& payload, bool) {
                     const QJsonObject json = QJsonDocument::fromJson(payload).object();
                     if (const QString rig = rigOf(topic, QLatin1String("state")); !rig.isEmpty()) {
                       if (json.value(QStringLiteral("online")).toBool()) online.insert(rig);
                       return;
                     }
                     const QString rig = rigOf(topic, QLatin1String("result"));
                     if (rig.isEmpty() || json.value(QStringLiteral("id")) != id) return;
                     results[rig] = json;
                     online.insert(rig);
                     if (allAnswered()) loop.quit();
                   });
  QTimer::singleShot(kConnectLimitMs, &loop, [&] {
    if (published) return;
    failure = QStringLiteral("no connection to the broker at ") + broker.url();
    loop.quit();
  });
  int stoppedBy = 0;
  service::StopWatch stopWatch([&](int signal) {
    stoppedBy = signal;
    loop.quit();
  });
  link.start();
  loop.exec();
  link.finish({});
  if (!published) {
    complain("fire failed: " + (stoppedBy != 0
                                    ? std::string("stopped before the broker was reached")
                                    : failure.toStdString()));
    return stoppedBy != 0 ? rig::exitStatus({.cutShort = rig::CutShort::bySignal(stoppedBy)})
                          : kExitFailure;
  }

  // Each rig's outcome, on standard output.
  int status = 0;
  std::size_t fired = 0;
  for (const QString& rig : online) {
    const auto result = results.find(rig);
    if (result == results.end()) {
      std::cout << rig.toStdString() << ": no result in time (it may still fire)\n";
      if (status == 0) status = kExitFailure;
      continue;
    }
    const QJsonObject& answer = result->second;
    if (answer.value(QStringLiteral("ok")).toBool()) {
      std::cout << rig.toStdString() << ": fired\n";
      ++fired;
      continue;
    }
    const QJsonObject error = answer.value(QStringLiteral("error")).toObject();
    std::cout << rig.toStdString() << ": "
              << error.value(QStringLiteral("kind")).toString().toStdString() << ": "
              << inCliTerms(error.value(QStringLiteral("message")).toString()) << '\n';
    if (status == 0) status = rig::exitStatus(endingOf(answer));
  }
  std::cout.flush();
  if (stoppedBy != 0) {
    complain(std::string("stopped waiting for the rigs' results by ") +
             rig::SystemClock::signalName(stoppedBy) + ": what was armed stays armed");
    return rig::exitStatus({.cutShort = rig::CutShort::bySignal(stoppedBy)});
  }
  if (online.empty()) {
    complain("fire failed: no rig is online on the broker at " + broker.url().toStdString() +
             ": nothing was armed");
    return kExitFailure;
  }
  if (status != 0) {
    complain("fire: " + std::to_string(fired) + " of " + std::to_string(online.size()) +
             " rigs fired");
  }
  return status;
}

}  // namespace cli
