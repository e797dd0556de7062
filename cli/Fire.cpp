#include "Fire.h"

#include <QEventLoop>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTimer>

#include "Remote.h"
#include "bridge/Link.h"

namespace cli {

namespace {

// How long the broker may take to answer before the command gives up; the shot is usually a
// second or two ahead, so a later publish would be refused by the rigs as too late anyway.
constexpr int kConnectLimitMs = 5000;

}  // namespace

int fire(const Options& options, const bridge::BrokerSettings& broker, Console& console) {
  bridge::Link link(broker, {}, {});
  QEventLoop loop;
  QString failure;
  bool up = false;
  QObject::connect(&link, &bridge::Link::up, &loop, [&] {
    up = true;
    loop.quit();
  });
  QObject::connect(&link, &bridge::Link::down, &loop,
                   [&](const QString& reason, bool refused, std::chrono::milliseconds) {
                     if (!refused) return;  // retried until the limit
                     failure = QStringLiteral("the broker refused the connection: ") + reason;
                     loop.quit();
                   });
  QTimer::singleShot(kConnectLimitMs, &loop, [&] {
    failure = QStringLiteral("no connection to the broker at ") + broker.url();
    loop.quit();
  });
  link.start();
  loop.exec();
  if (!up) {
    link.finish({});
    complain("fire failed: " + failure.toStdString());
    return kExitFailure;
  }
  QJsonObject request{{QStringLiteral("action"), options.fired == Command::Sequence
                                                     ? QStringLiteral("sequence")
                                                     : QStringLiteral("shutter")}};
  // Taken once the link is up, so that --in counts from the publish, not from the connecting.
  putShotTime(request, options);
  const QByteArray sent = QJsonDocument(request).toJson(QJsonDocument::Compact);
  // Not retained: a rig that connects later must not fire an old shot. Sent outside the link's
  // own callbacks, which finish() must not run inside.
  link.finish({QStringLiteral("quillmar/all/command"), sent, false});
  console.line("published to quillmar/all/command: " + sent.toStdString());
  return 0;
}

}  // namespace cli
