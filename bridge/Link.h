#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QStringList>
#include <chrono>
#include <deque>
#include <map>

#include "BrokerOptions.h"

class QSocketNotifier;
class QTimer;
struct mosquitto;
struct mosquitto_message;

namespace bridge {

// One broker connection through libmosquitto, driven by socket notifiers on the event loop of
// the thread it lives in. Connects, subscribes, reconnects with backoff after every loss, and
// keeps the messages it was asked to keep until the broker has taken them.
class Link : public QObject {
  Q_OBJECT

 public:
  struct Message {
    QString topic;
    QByteArray payload;
    bool retain = false;
  };

  // `subscriptions` are taken at QoS 1 on every connection; `will` is left with the broker as
  // the connection's last will (retained, QoS 1; none when its topic is empty).
  Link(BrokerSettings settings, QStringList subscriptions, Message will);
  ~Link() override;

  // The following run on the link's own thread.
  void start();
  // Publishes at QoS 1. A message to `keep` waits for the connection and is sent again after a
  // loss until the broker acknowledges it; the others are dropped while there is none.
  void publish(const Link::Message& message, bool keep);
  // Publishes `last` (QoS 1; nothing when its topic is empty) when connected, waits for the
  // broker's acknowledgement, disconnects cleanly, and stops retrying. Bounded by a couple of
  // seconds in all.
  void finish(const Link::Message& last);

 signals:
  // Connected and subscribed (the subscriptions are on their way).
  void up();
  // The connection failed or was lost; `refused` when the broker turned the account away. A
  // retry follows after `retryIn`.
  void down(const QString& reason, bool refused, std::chrono::milliseconds retryIn);
  void received(const QString& topic, const QByteArray& payload, bool retained);

 private:
  static void onConnect(mosquitto* client, void* self, int code);
  static void onMessage(mosquitto* client, void* self, const mosquitto_message* message);
  static void onPublish(mosquitto* client, void* self, int mid);

  void attempt();
  void lost(const QString& reason);
  void closeClient();
  void watchSocket();
  void updateWrite();
  void readable();
  void writable();
  void housekeeping();
  bool send(const Message& message, int* mid);

  BrokerSettings settings_;
  QStringList subscriptions_;
  Message will_;

  mosquitto* client_ = nullptr;
  QSocketNotifier* reader_ = nullptr;
  QSocketNotifier* writer_ = nullptr;
  QTimer* misc_ = nullptr;          // keep-alive pings and their timeouts
  QTimer* retry_ = nullptr;         // the next attempt
  QTimer* connectLimit_ = nullptr;  // an attempt that has no answer in time is given up
  bool connected_ = false;
  bool finished_ = false;
  QString refusal_;  // why the broker refused the last attempt, if it did
  std::chrono::milliseconds backoff_{0};

  std::deque<Message> waiting_;      // kept messages not yet sent
  std::map<int, Message> inFlight_;  // kept messages sent, by message id, not yet acknowledged
  int lastMid_ = -1;
  bool lastAcknowledged_ = false;
};

}  // namespace bridge
