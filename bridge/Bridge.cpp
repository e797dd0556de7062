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
#include <string_view>
#include <utility>

#include "Link.h"
#include "rig/Labels.h"

// Link changes are told (info); ignored retained commands only when asked for (debug).
Q_LOGGING_CATEGORY(brokerLog, "quillmar.broker", QtInfoMsg)

namespace bridge {

namespace {

QByteArray compact(const QJsonObject& object) {
  return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

// The buttons announced for discovery: their object ids and the words they send; each is named
// by the panel's caption for its action.
struct Button {
  const char* object;
  const char* press;
};
constexpr std::array<Button, 3> kButtons{{
    {"start", "sequence"},
    {"main_flash", "flash"},
    {"camera_shutter", "shutter"},
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

// A name as part of an object id, which takes letters, digits, '-' and '_': ASCII letters and
// digits as they are, every other byte of its UTF-8 as '_' and two hex digits, so that no two
// names give one id.
QString objectPart(const QString& name) {
  QString part;
  for (const char byte : name.toUtf8()) {
    const auto code = static_cast<unsigned char>(byte);
    if ((code >= '0' && code <= '9') || (code >= 'A' && code <= 'Z') ||
        (code >= 'a' && code <= 'z')) {
      part += QLatin1Char(byte);
    } else {
      part += QStringLiteral("_%1").arg(static_cast<uint>(code), 2, 16, QLatin1Char('0'));
    }
  }
  return part;
}

}  // namespace

Bridge::Bridge(service::RigHost& host, BrokerSettings settings, QObject* parent)
    : QObject(parent),
      host_(&host),
      settings_(std::move(settings)),
      instance_(QString::number(QRandomGenerator::system()->generate64(), 16)),
      since_(QDateTime::currentMSecsSinceEpoch()),
      channel_(host, service::Origin::Broker) {
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
  return {QStringLiteral("broker"), [settings](service::RigService& rig, service::LocalEndpoint&,
                                               std::unique_ptr<QObject>& channel) {
            // It always starts: it connects, and reconnects, on its own.
            auto bridge = std::make_unique<Bridge>(rig, settings);
            bridge->start();
            channel = std::move(bridge);
            return service::Done();
          }};
}

void Bridge::start() {
  if (thread_ != nullptr || !host_) return;
  // The rig's own state topic too: that is where another rig of the same name shows. With
  // discovery, the device's configs after it (its retained messages come in that order): what
  // an earlier run announced, to be removed when this one's rig no longer has it.
  QStringList subscriptions{topic("command"), QStringLiteral("quillmar/all/command"),
                            topic("state")};
  if (settings_.haPrefix) {
    subscriptions << configTopic("button", QStringLiteral("+"))
                  << configTopic("binary_sensor", QStringLiteral("+"));
  }
  link_ = new Link(settings_, subscriptions, {topic("state"), offlineMessage(), true});
  thread_ = new QThread(this);
  thread_->setObjectName(QStringLiteral("broker"));
  link_->moveToThread(thread_);
  connect(thread_, &QThread::finished, link_, &QObject::deleteLater);
  connect(link_, &Link::up, this, &Bridge::linkUp);
  connect(link_, &Link::down, this, &Bridge::linkDown);
  connect(link_, &Link::received, this, &Bridge::received);
  connect(this, &Bridge::toLink, link_, &Link::publish);
  connect(host_, &service::RigHost::stateChanged, this, [this](const service::State& state) {
    publishState(state);
    noteRoles(state);
  });
  noteRoles(host_->state());
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

QString Bridge::configTopic(const char* component, const QString& object) const {
  return QStringLiteral("%1/%2/quillmar_%3/%4/config")
      .arg(*settings_.haPrefix, QLatin1String(component), settings_.rig, object);
}

QJsonObject Bridge::entity(const QString& name, const QString& object) const {
  const QString device = QStringLiteral("quillmar_%1").arg(settings_.rig);
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
  return {{QStringLiteral("name"), name},
          {QStringLiteral("unique_id"), QStringLiteral("%1_%2").arg(device, object)},
          {QStringLiteral("availability"), availability},
          {QStringLiteral("device"), deviceObject},
          {QStringLiteral("origin"), origin}};
}

QJsonObject Bridge::button(const QString& name, const QString& object, const QString& press,
                           const QString& command) const {
  QJsonObject config = entity(name, object);
  config.insert(QStringLiteral("command_topic"), topic("command"));
  config.insert(QStringLiteral("payload_press"), press);
  // Each press carries an id of its own, so a press delivered twice runs once.
  config.insert(
      QStringLiteral("command_template"),
      QStringLiteral("{%1, \"id\": \"ha-%2-{{ now().timestamp() }}\"}").arg(command, object));
  config.insert(QStringLiteral("qos"), 1);
  return config;
}

void Bridge::publishDiscovery() {
  if (settings_.haRemove) {
    // An empty retained config removes the entity: what an earlier name of this rig left.
    for (const Button& each : kButtons) {
      emit toLink({configTopic("button", QLatin1String(each.object)), QByteArray(), true}, true);
    }
    emit toLink({configTopic("binary_sensor", QLatin1String(kFlashSensor)), QByteArray(), true},
                true);
    sweep();
    return;
  }
  for (const Button& each : kButtons) {
    const QString object = QLatin1String(each.object);
    const std::string_view name = rig::labels::button(each.press);
    const QJsonObject config =
        button(QLatin1String(name.data(), static_cast<qsizetype>(name.size())), object,
               QLatin1String(each.press), QStringLiteral("\"action\": \"{{ value }}\""));
    emit toLink({configTopic("button", object), compact(config), true}, false);
  }
  // The flash relay as the rig last read or switched it, from the state's typed field: unknown
  // before the first opening.
  QJsonObject flash = entity(QStringLiteral("Flash"), QLatin1String(kFlashSensor));
  flash.insert(QStringLiteral("state_topic"), topic("state"));
  flash.insert(QStringLiteral("value_template"),
               QStringLiteral("{{ 'ON' if value_json.relays.flash == 'on' else ('OFF' if "
                              "value_json.relays.flash == 'off' else 'None') }}"));
  emit toLink({configTopic("binary_sensor", QLatin1String(kFlashSensor)), compact(flash), true},
              false);
  publishRoles();
}

void Bridge::noteRoles(const service::State& state) {
  Roles roles;
  if (state.roles) {
    // A rig file names at least one camera: none means its boards are not open, and says
    // nothing of which cameras the rig has.
    if (state.roles->cameras.empty()) return;
    for (const rig::CameraLines& camera : state.roles->cameras) {
      roles.cameras.push_back(QString::fromStdString(camera.name));
    }
    for (const rig::FlashLine& flash : state.roles->flashes) {
      roles.flashes.push_back(QString::fromStdString(flash.name));
    }
  }
  if (roles_ == roles) return;
  roles_ = std::move(roles);
  if (settings_.haPrefix && connected_ && holder_.isEmpty()) publishRoles();
}

void Bridge::publishRoles() {
  if (settings_.haRemove || !roles_) {
    sweep();
    return;
  }
  std::set<QString> announced;
  for (const QString& camera : roles_->cameras) {
    const QString object = QStringLiteral("camera-%1").arg(objectPart(camera));
    // The camera's name goes in as the press's JSON value, never into the template itself.
    const QJsonObject config =
        button(QStringLiteral("Shutter %1").arg(camera), object,
               QString::fromUtf8(QJsonDocument(QJsonArray{camera}).toJson(QJsonDocument::Compact)),
               QStringLiteral("\"action\": \"shutter\", \"cameras\": {{ value }}"));
    const QString where = configTopic("button", object);
    emit toLink({where, compact(config), true}, false);
    announced.insert(where);
  }
  for (std::size_t i = 0; i < roles_->flashes.size(); ++i) {
    const QString object = QStringLiteral("flash-%1").arg(objectPart(roles_->flashes[i]));
    QJsonObject config = entity(QStringLiteral("Flash %1").arg(roles_->flashes[i]), object);
    // By its place in the state's list, which follows the rig file: the name stays out of the
    // template. A state without the list (boards not open) reads as unknown.
    const QString line = QStringLiteral("value_json.flashes[%1].line").arg(i);
    config.insert(QStringLiteral("state_topic"), topic("state"));
    config.insert(QStringLiteral("value_template"),
                  QStringLiteral("{% if (value_json.flashes | default([]) | length) > %1 %}{{ 'ON' "
                                 "if %2 == 'on' else ('OFF' if %2 == 'off' else 'None') }}{% else "
                                 "%}None{% endif %}")
                      .arg(i)
                      .arg(line));
    const QString where = configTopic("binary_sensor", object);
    emit toLink({where, compact(config), true}, false);
    announced.insert(where);
    // Its toggle: a press switches this flash alone. Its object id ends in "-toggle", which no
    // flash's own part can (a '-' in a name is written as "_2d").
    const QString toggleObject = object + QStringLiteral("-toggle");
    // The name goes in as the press's JSON string, never into the template itself.
    const QByteArray inList =
        QJsonDocument(QJsonArray{roles_->flashes[i]}).toJson(QJsonDocument::Compact);
    const QJsonObject toggle =
        button(QStringLiteral("Toggle flash %1").arg(roles_->flashes[i]), toggleObject,
               QString::fromUtf8(inList.sliced(1, inList.size() - 2)),
               QStringLiteral("\"action\": \"flash\", \"flash\": {{ value }}"));
    const QString toggleWhere = configTopic("button", toggleObject);
    emit toLink({toggleWhere, compact(toggle), true}, false);
    announced.insert(toggleWhere);
  }
  // Cameras and flashes the rig no longer has lose their entities.
  for (const QString& gone : announced_) {
    if (!announced.contains(gone)) emit toLink({gone, QByteArray(), true}, true);
  }
  announced_ = std::move(announced);
  sweep();
}

void Bridge::sweep() {
  if (!holder_.isEmpty() || (!roles_ && !settings_.haRemove)) return;
  for (const QString& found : leftovers_) {
    if (!announced_.contains(found)) emit toLink({found, QByteArray(), true}, true);
  }
  leftovers_.clear();
}

void Bridge::foundConfig(const QString& topicName, const QByteArray& payload, bool retained) {
  // Only what the broker kept: the configs this run publishes come back as live messages.
  if (!retained || payload.isEmpty()) return;
  const QString object = topicName.section(QLatin1Char('/'), -2, -2);
  if (!object.startsWith(QStringLiteral("camera-")) &&
      !object.startsWith(QStringLiteral("flash-"))) {
    return;
  }
  leftovers_.insert(topicName);
  sweep();
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
  if (topicName.endsWith(QStringLiteral("/config"))) {
    foundConfig(topicName, payload, retained);
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
  // A repeat of a request still queued or running gets the first one's answer again when it
  // comes, as one sent after it.
  channel_.take(parsed, this, [this](const QByteArray& json) { answer(json); });
}

}  // namespace bridge
