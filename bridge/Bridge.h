#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QObject>
#include <QPointer>
#include <QString>
#include <chrono>
#include <optional>
#include <set>
#include <vector>

#include "BrokerOptions.h"
#include "Link.h"
#include "service/Channel.h"
#include "service/RigHost.h"
#include "session/Session.h"

class QThread;

namespace bridge {

// Puts one rig on an MQTT broker: takes requests from quillmar/<rig>/command and
// quillmar/all/command, runs them on the rig host, answers on quillmar/<rig>/result and keeps
// the rig's state, retained, on quillmar/<rig>/state. The connection runs on a thread of its
// own; requests reach the host on the thread that made the bridge.
class Bridge : public QObject {
  Q_OBJECT

 public:
  // A host destroyed first (the panel's window closed) stops the bridge as stop() does.
  Bridge(service::RigHost& host, BrokerSettings settings, QObject* parent = nullptr);
  // Stops as stop() does.
  ~Bridge() override;

  void start();
  // A started bridge, as a channel of a session's start.
  static service::SessionSettings::Channel channel(const BrokerSettings& settings);
  // Publishes {"online": false} as the rig's state and leaves the broker cleanly; waits at most
  // a few seconds for it. Requests still running are answered no more.
  void stop();

  const BrokerSettings& settings() const { return settings_; }
  QString topic(const char* leaf) const;

 signals:
  // To the link's thread: publish `message`; `keep` it until the broker has it.
  void toLink(const bridge::Link::Message& message, bool keep);

 private:
  void linkUp();
  void linkDown(const QString& reason, bool refused, std::chrono::milliseconds retryIn);
  void received(const QString& topic, const QByteArray& payload, bool retained);
  // A message on this rig's state topic: another rig of the same name, or this one's own.
  void presence(const QByteArray& payload);
  // The rig's state or offline message, tagged with this rig's instance.
  QByteArray offlineMessage() const;
  void publishState(const service::State& state);
  void publishDiscovery();
  // The cameras and flashes of a described rig, as the state names them.
  void noteRoles(const service::State& state);
  // One button per camera and one binary sensor per flash; what is no longer there removed.
  void publishRoles();
  // Removes the configs of cameras and flashes that an earlier run left on the broker.
  void sweep();
  // A retained config of this rig's device on the broker: one of an earlier run.
  void foundConfig(const QString& topic, const QByteArray& payload, bool retained);
  QString configTopic(const char* component, const QString& object) const;
  // A discovery config's common fields: the entity's name, its unique id, the device.
  QJsonObject entity(const QString& name, const QString& object) const;
  // A button's config: a press sends {`command`, "id": ...}, `press` standing for {{ value }}.
  QJsonObject button(const QString& name, const QString& object, const QString& press,
                     const QString& command) const;
  void answer(const QByteArray& json);

  QPointer<service::RigHost> host_;
  BrokerSettings settings_;
  QThread* thread_ = nullptr;
  Link* link_ = nullptr;
  bool connected_ = false;
  QString lastWord_;  // the last link state logged

  // One rig per name: each run has an instance of its own and the time it started. Of two live
  // rigs of one name, the earlier (then the lower instance) keeps the name; the other takes
  // none of its commands and publishes nothing under it until the first one goes offline.
  QString instance_;
  qint64 since_ = 0;
  QString holder_;  // the other rig's instance that keeps the name; empty while this one has it

  // The rig's cameras and flashes by name; none until a state has told them (a described rig
  // whose boards are not open names none yet).
  struct Roles {
    std::vector<QString> cameras;
    std::vector<QString> flashes;
    bool operator==(const Roles&) const = default;
  };
  std::optional<Roles> roles_;
  std::set<QString> announced_;  // the config topics of the cameras and flashes announced
  std::set<QString> leftovers_;  // retained configs of cameras and flashes found on the broker

  // The commands' way in: a repeated id is answered again (when its answer is there yet), never
  // run again.
  service::Channel channel_;
};

}  // namespace bridge
