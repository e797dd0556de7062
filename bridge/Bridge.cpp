#include "Bridge.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLoggingCategory>
#include <QPointer>
#include <QRegularExpression>
#include <QThread>
#include <array>
#include <utility>

#include "Link.h"

// Link changes are told (info); ignored retained commands only when asked for (debug).
Q_LOGGING_CATEGORY(brokerLog, "quillmar.broker", QtInfoMsg)

namespace bridge {

namespace {

QByteArray compact(const QJsonObject& object) {
  return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

const QByteArray kOffline = compact(QJsonObject{{QStringLiteral("online"), false}});

// The buttons announced for discovery: the panel's captions and the words they send.
struct Button {
  const char* object;
  const char* name;
  const char* press;
};
constexpr std::array<Button, 3> kButtons{{
    {"start", "Start", "sequence"},
    {"main_flash", "Main Flash", "flash"},
    {"camera_shutter", "Camera Shutter", "shutter"},
}};

}  // namespace

Bridge::Bridge(service::RigHost& host, BrokerSettings settings, QObject* parent)
    : QObject(parent), host_(&host), settings_(std::move(settings)) {
  connect(&host, &QObject::destroyed, this, &Bridge::stop);
}

Bridge::~Bridge() { stop(); }

QString Bridge::topic(const char* leaf) const {
  return QStringLiteral("quillmar/%1/%2").arg(settings_.rig, QLatin1String(leaf));
}

void Bridge::start() {
  if (thread_ != nullptr || !host_) return;
  link_ = new Link(settings_, {topic("command"), QStringLiteral("quillmar/all/command")},
                   {topic("state"), kOffline, true});
  thread_ = new QThread(this);
  thread_->setObjectName(QStringLiteral("broker"));
  link_->moveToThread(thread_);
  connect(thread_, &QThread::finished, link_, &QObject::deleteLater);
  connect(link_, &Link::up, this, &Bridge::linkUp);
  connect(link_, &Link::down, this, &Bridge::linkDown);
  connect(link_, &Link::received, this, &Bridge::received);
  connect(this, &Bridge::toLink, link_, &Link::publish);
  connect(host_, &service::RigHost::stateChanged, this, &Bridge::publishState);
  thread_->start();
  host_->setBroker(QStringLiteral("connecting"));
  QMetaObject::invokeMethod(link_, &Link::start, Qt::QueuedConnection);
}

void Bridge::stop() {
  if (thread_ == nullptr) return;
  if (host_) disconnect(host_, &service::RigHost::stateChanged, this, nullptr);
  Link::Message last{topic("state"), kOffline, true};
  QMetaObject::invokeMethod(
      link_, [link = link_, last = std::move(last)] { link->finish(last); },
      Qt::BlockingQueuedConnection);
  thread_->quit();
  thread_->wait();
  delete thread_;
  thread_ = nullptr;
  link_ = nullptr;
  connected_ = false;
  if (host_) host_->setBroker(QString());
}

void Bridge::linkUp() {
  connected_ = true;
  if (lastWord_ != QStringLiteral("connected")) {
    qCInfo(brokerLog, "rig %s: connected to %s", qUtf8Printable(settings_.rig),
           qUtf8Printable(settings_.url()));
  }
  lastWord_ = QStringLiteral("connected");
  if (!host_) return;
  host_->setBroker(lastWord_);
  // Retained messages did not outlive a broker restarted without persistence: all again.
  publishState(host_->state());
  if (settings_.haPrefix) publishDiscovery();
}

void Bridge::linkDown(const QString& reason, bool refused, std::chrono::milliseconds retryIn) {
  connected_ = false;
  const QString word = refused ? reason : QStringLiteral("retrying: %1").arg(reason);
  // A broker that stays away is reported once, not at every retry.
  if (word != lastWord_) {
    qCWarning(brokerLog, "rig %s: broker %s: %s (next try in %.1f s; the rig works on locally)",
              qUtf8Printable(settings_.rig), qUtf8Printable(settings_.url()), qUtf8Printable(word),
              static_cast<double>(retryIn.count()) / 1000);
  }
  lastWord_ = word;
  if (host_) host_->setBroker(word);
}

void Bridge::publishState(const service::State& state) {
  if (link_ == nullptr) return;
  QJsonObject object = service::toJson(state);
  object.insert(QStringLiteral("online"), true);
  Link::Message message{topic("state"), compact(object), true};
  emit toLink(message, false);
}

void Bridge::publishDiscovery() {
  const QString device = QStringLiteral("quillmar_%1").arg(settings_.rig);
  const QJsonObject deviceObject{
      {QStringLiteral("identifiers"), QJsonArray{device}},
      {QStringLiteral("name"), QStringLiteral("Quillmar %1").arg(settings_.rig)},
      {QStringLiteral("manufacturer"), QStringLiteral("Quillmar")},
      {QStringLiteral("model"), QStringLiteral("Two-relay camera rig")}};
  const QJsonArray availability{
      QJsonObject{{QStringLiteral("topic"), topic("state")},
                  {QStringLiteral("value_template"),
                   QStringLiteral("{{ 'online' if value_json.online else 'offline' }}")}}};
  for (const Button& button : kButtons) {
    const QJsonObject config{{QStringLiteral("name"), QLatin1String(button.name)},
                             {QStringLiteral("unique_id"),
                              QStringLiteral("%1_%2").arg(device, QLatin1String(button.object))},
                             {QStringLiteral("command_topic"), topic("command")},
                             {QStringLiteral("payload_press"), QLatin1String(button.press)},
                             {QStringLiteral("qos"), 1},
                             {QStringLiteral("availability"), availability},
                             {QStringLiteral("device"), deviceObject}};
    Link::Message message{QStringLiteral("%1/button/%2/%3/config")
                              .arg(*settings_.haPrefix, device, QLatin1String(button.object)),
                          compact(config), true};
    emit toLink(message, false);
  }
}

void Bridge::answer(const QByteArray& json) {
  if (link_ == nullptr) return;
  // Answers are kept until the broker has them: someone waits for each.
  Link::Message message{topic("result"), json, false};
  emit toLink(message, true);
}

void Bridge::forget() {
  const auto now = std::chrono::steady_clock::now();
  while (!seenOrder_.empty() &&
         (now - seenOrder_.front().at > kRepeatWindow || seenOrder_.size() > kMostRemembered)) {
    seen_.remove(seenOrder_.front().key);
    seenOrder_.pop_front();
  }
}

bool Bridge::repeated(const QString& key) {
  forget();
  if (const auto it = seen_.constFind(key); it != seen_.constEnd()) {
    if (it->has_value()) answer(**it);
    return true;
  }
  seen_.insert(key, std::nullopt);
  seenOrder_.push_back({std::chrono::steady_clock::now(), key});
  forget();
  return false;
}

void Bridge::received(const QString& topicName, const QByteArray& payload, bool retained) {
  // A retained command is an old one: it must not run at every start.
  if (retained) {
    qCDebug(brokerLog, "rig %s: retained message on %s ignored", qUtf8Printable(settings_.rig),
            qUtf8Printable(topicName));
    return;
  }
  service::ParsedRequest parsed;
  if (payload.size() > service::kMaxRequestBytes) {
    parsed = service::parseRequest(payload);  // refused unread, for its length
  } else {
    // A bare action word stands for {"action": word}.
    static const QRegularExpression word(QStringLiteral("^\\s*([A-Za-z]+)\\s*$"));
    const QRegularExpressionMatch match = word.match(QString::fromUtf8(payload));
    parsed = service::parseRequest(
        match.hasMatch() ? compact(QJsonObject{{QStringLiteral("action"), match.captured(1)}})
                         : payload);
  }
  if (!parsed.request) {
    answer(compact(service::badRequestAnswer(parsed.error, parsed.id)));
    return;
  }
  service::Request request = *parsed.request;
  request.origin = service::Origin::Broker;
  QString key;
  if (!request.id.isUndefined()) {
    key = QString::fromUtf8(QJsonDocument(QJsonArray{request.id}).toJson(QJsonDocument::Compact));
    if (repeated(key)) return;
  }
  if (!host_) return;
  host_->submit(request,
                [self = QPointer<Bridge>(this), request, key](const service::Result& result) {
                  if (!self) return;
                  const QByteArray json = compact(service::toJson(request, result));
                  if (!key.isEmpty()) {
                    if (const auto it = self->seen_.find(key); it != self->seen_.end()) *it = json;
                  }
                  self->answer(json);
                });
}

}  // namespace bridge
