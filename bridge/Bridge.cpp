#include "Bridge.h"

#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLoggingCategory>
#include <QRandomGenerator>
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
// What a rig whose name another live rig has says, on standard error, in status and the tooltip.
QString nameTaken(const QString& rig) {
  return QStringLiteral(
             "name taken: another rig named %1 is live on the broker; this one takes none of its "
             "commands (give it another --rig NAME)")
      .arg(rig);
}

// The object id of the flash's binary sensor.
constexpr const char* kFlashSensor = "flash";

}  // namespace

Bridge::Bridge(service::RigHost& host, BrokerSettings settings, QObject* parent)
    : QObject(parent),
      host_(&host),
      settings_(std::move(settings)),
      instance_(QString::number(QRandomGenerator::system()->generate64(), 16)),
      since_(QDateTime::currentMSecsSinceEpoch()),
      channel_(host, service::Origin::Broker, service::Channel::Repeats::Ignore) {
  connect(&host, &QObject::destroyed, this, &Bridge::stop);
}

QByteArray Bridge::offlineMessage() const {
  return compact(
      QJsonObject{{QStringLiteral("online"), false}, {QStringLiteral("instance"), instance_}});
}

Bridge::~Bridge() { stop(); }

QString Bridge::topic(const char* leaf) const {
  return QStringLiteral("quillmar/%1/%2").arg(settings_.rig, QLatin1String(leaf));
}

service::SessionSettings::Channel Bridge::channel(const BrokerSettings& settings) {
  return {QStringLiteral("broker"),
          [settings](service::RigService& rig, service::LocalEndpoint&,
                     QString&) -> std::unique_ptr<QObject> {
            auto bridge = std::make_unique<Bridge>(rig, settings);
            bridge->start();
            return bridge;
          }};
}

void Bridge::start() {
  if (thread_ != nullptr || !host_) return;
  // The rig's own state topic too: that is where another rig of the same name shows.
  link_ = new Link(settings_,
                   {topic("command"), QStringLiteral("quillmar/all/command"), topic("state")},
                   {topic("state"), offlineMessage(), true});
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
  // A rig that never had the name leaves the other's state alone.
  Link::Message last{holder_.isEmpty() ? topic("state") : QString(), offlineMessage(), true};
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
  if (!holder_.isEmpty()) {
    // Still yielding: the retained state, delivered again, tells whether the other is gone.
    host_->setBroker(nameTaken(settings_.rig));
    return;
  }
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
  if (link_ == nullptr || !holder_.isEmpty()) return;
  QJsonObject object = service::toJson(state);
  object.insert(QStringLiteral("online"), true);
  object.insert(QStringLiteral("instance"), instance_);
  object.insert(QStringLiteral("since"), since_);
  Link::Message message{topic("state"), compact(object), true};
  emit toLink(message, false);
}

void Bridge::publishDiscovery() {
  const QString device = QStringLiteral("quillmar_%1").arg(settings_.rig);
  const auto configTopic = [&](const char* component, const char* object) {
    return QStringLiteral("%1/%2/%3/%4/config")
        .arg(*settings_.haPrefix, QLatin1String(component), device, QLatin1String(object));
  };
  if (settings_.haRemove) {
    // An empty retained config removes the entity: what an earlier name of this rig left.
    for (const Button& button : kButtons) {
      emit toLink({configTopic("button", button.object), QByteArray(), true}, true);
    }
    emit toLink({configTopic("binary_sensor", kFlashSensor), QByteArray(), true}, true);
    return;
  }
  const QJsonObject deviceObject{
      {QStringLiteral("identifiers"), QJsonArray{device}},
      {QStringLiteral("name"), QStringLiteral("Quillmar %1").arg(settings_.rig)},
      {QStringLiteral("manufacturer"), QStringLiteral("Quillmar")},
      {QStringLiteral("model"), QStringLiteral("Two-relay camera rig")},
      {QStringLiteral("sw_version"), QStringLiteral(QUILLMAR_VERSION)}};
  const QJsonObject origin{{QStringLiteral("name"), QStringLiteral("Quillmar")},
                           {QStringLiteral("sw_version"), QStringLiteral(QUILLMAR_VERSION)}};
  // Available while the rig is on the broker and its port is open: not during "Port Lost".
  const QJsonArray availability{QJsonObject{
      {QStringLiteral("topic"), topic("state")},
      {QStringLiteral("value_template"),
       QStringLiteral("{{ 'online' if value_json.online and value_json.open else 'offline' }}")}}};
  for (const Button& button : kButtons) {
    // Each press carries an id of its own, so a press delivered twice runs once.
    const QString press =
        QStringLiteral("{\"action\": \"{{ value }}\", \"id\": \"ha-%1-{{ now().timestamp() }}\"}")
            .arg(QLatin1String(button.object));
    const QJsonObject config{{QStringLiteral("name"), QLatin1String(button.name)},
                             {QStringLiteral("unique_id"),
                              QStringLiteral("%1_%2").arg(device, QLatin1String(button.object))},
                             {QStringLiteral("command_topic"), topic("command")},
                             {QStringLiteral("payload_press"), QLatin1String(button.press)},
                             {QStringLiteral("command_template"), press},
                             {QStringLiteral("qos"), 1},
                             {QStringLiteral("availability"), availability},
                             {QStringLiteral("device"), deviceObject},
                             {QStringLiteral("origin"), origin}};
    emit toLink({configTopic("button", button.object), compact(config), true}, false);
  }
  // The flash relay as the rig last read or switched it, from the state's typed field: unknown
  // before the first opening.
  const QJsonObject flash{
      {QStringLiteral("name"), QStringLiteral("Flash")},
      {QStringLiteral("unique_id"),
       QStringLiteral("%1_%2").arg(device, QLatin1String(kFlashSensor))},
      {QStringLiteral("state_topic"), topic("state")},
      {QStringLiteral("value_template"),
       QStringLiteral("{{ 'ON' if value_json.relays.flash == 'on' else ('OFF' if "
                      "value_json.relays.flash == 'off' else 'None') }}")},
      {QStringLiteral("availability"), availability},
      {QStringLiteral("device"), deviceObject},
      {QStringLiteral("origin"), origin}};
  emit toLink({configTopic("binary_sensor", kFlashSensor), compact(flash), true}, false);
}

void Bridge::answer(const QByteArray& json) {
  if (link_ == nullptr) return;
  // Answers are kept until the broker has them: someone waits for each.
  Link::Message message{topic("result"), json, false};
  emit toLink(message, true);
}

void Bridge::presence(const QByteArray& payload) {
  const QJsonObject other = QJsonDocument::fromJson(payload).object();
  const QString instance = other.value(QStringLiteral("instance")).toString();
  // This rig's own messages, and those that name no rig, say nothing about another one.
  if (instance.isEmpty() || instance == instance_ || !host_) return;
  if (!other.value(QStringLiteral("online")).toBool()) {
    if (instance == holder_) {
      // The rig that had the name has left: this one takes it.
      holder_.clear();
      qCInfo(brokerLog, "rig %s: the other rig of this name has left; this one takes its commands",
             qUtf8Printable(settings_.rig));
      host_->setBroker(connected_ ? QStringLiteral("connected") : lastWord_);
      publishState(host_->state());
      if (settings_.haPrefix) publishDiscovery();
    } else if (holder_.isEmpty()) {
      // Another rig's offline message (its last will) covers this live one: state it again.
      publishState(host_->state());
    }
    return;
  }
  const qint64 since = other.value(QStringLiteral("since")).toInteger();
  const bool otherFirst = since < since_ || (since == since_ && instance < instance_);
  if (!otherFirst) {
    // A later rig of this name announced itself over this one's state: this one keeps the name.
    if (holder_.isEmpty()) publishState(host_->state());
    return;
  }
  if (holder_ == instance) return;
  holder_ = instance;
  qCWarning(brokerLog, "rig %s: %s", qUtf8Printable(settings_.rig),
            qUtf8Printable(nameTaken(settings_.rig)));
  host_->setBroker(nameTaken(settings_.rig));
}

void Bridge::received(const QString& topicName, const QByteArray& payload, bool retained) {
  if (topicName == topic("state")) {
    presence(payload);
    return;
  }
  // The name is another rig's: its commands are that rig's.
  if (!holder_.isEmpty()) return;
  // A retained command is an old one: it must not run at every start.
  if (retained) {
    qCDebug(brokerLog, "rig %s: retained message on %s ignored", qUtf8Printable(settings_.rig),
            qUtf8Printable(topicName));
    return;
  }
  // An empty payload is how a retained message is cleared: no request, and nothing to answer.
  if (payload.isEmpty()) return;
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
  // A repeat of a request still running gets nothing more: the first one's answer comes.
  channel_.take(parsed, this, [this](const QByteArray& json) { answer(json); });
}

}  // namespace bridge
