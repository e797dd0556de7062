#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QString>
#include <QStringList>
#include <mutex>
#include <vector>

struct mosquitto;

// A plain MQTT client on its own thread, as a user's script would be: publishes commands and
// records what arrives on its subscriptions (again after every reconnect).
class TestClient {
 public:
  struct Received {
    QString topic;
    QByteArray payload;
    bool retained = false;
    QJsonObject json() const;
  };

  TestClient(int port, QStringList subscriptions);
  ~TestClient();

  // Connected and subscribed (after the last reconnect too), within a few seconds (the Qt event
  // loop turns meanwhile).
  bool ready();
  // Publishes at QoS 1 and waits for the broker to take it.
  void publish(const QString& topic, const QByteArray& payload, bool retain = false);

  std::vector<Received> on(const QString& topic) const;
  std::size_t count(const QString& topic) const { return on(topic).size(); }
  // Everything received, on every topic, in arrival order.
  std::vector<Received> all() const;

 private:
  mosquitto* client_;
  QStringList subscriptions_;
  mutable std::mutex mutex_;
  std::vector<Received> received_;
  qsizetype subscribed_ = 0;
  qsizetype connects_ = 0;
  bool connected_ = false;
  std::vector<int> acknowledged_;
};
