#include "TestClient.h"

#include <gtest/gtest.h>
#include <mosquitto.h>

#include <QJsonDocument>
#include <algorithm>

#include "Broker.h"

QJsonObject TestClient::Received::json() const { return QJsonDocument::fromJson(payload).object(); }

TestClient::TestClient(int port, QStringList subscriptions)
    : subscriptions_(std::move(subscriptions)) {
  mosquitto_lib_init();
  client_ = mosquitto_new(nullptr, true, this);
  mosquitto_connect_callback_set(client_, [](mosquitto* client, void* self, int code) {
    auto* me = static_cast<TestClient*>(self);
    if (code != 0) return;
    {
      const std::lock_guard lock(me->mutex_);
      ++me->connects_;
      me->connected_ = true;
    }
    for (const QString& topic : std::as_const(me->subscriptions_)) {
      mosquitto_subscribe(client, nullptr, topic.toUtf8().constData(), 1);
    }
  });
  mosquitto_disconnect_callback_set(client_, [](mosquitto*, void* self, int) {
    auto* me = static_cast<TestClient*>(self);
    const std::lock_guard lock(me->mutex_);
    me->connected_ = false;
  });
  mosquitto_subscribe_callback_set(client_, [](mosquitto*, void* self, int, int, const int*) {
    auto* me = static_cast<TestClient*>(self);
    const std::lock_guard lock(me->mutex_);
    ++me->subscribed_;
  });
  mosquitto_message_callback_set(client_, [](mosquitto*, void* self, const mosquitto_message* m) {
    auto* me = static_cast<TestClient*>(self);
    const std::lock_guard lock(me->mutex_);
    me->received_.push_back({QString::fromUtf8(m->topic),
                             QByteArray(static_cast<const char*>(m->payload), m->payloadlen),
                             m->retain});
  });
  mosquitto_publish_callback_set(client_, [](mosquitto*, void* self, int mid) {
    auto* me = static_cast<TestClient*>(self);
    const std::lock_guard lock(me->mutex_);
    me->acknowledged_.push_back(mid);
  });
  mosquitto_reconnect_delay_set(client_, 1, 1, false);
  mosquitto_connect_async(client_, "127.0.0.1", port, 10);
  mosquitto_loop_start(client_);
}

TestClient::~TestClient() {
  mosquitto_disconnect(client_);
  mosquitto_loop_stop(client_, true);
  mosquitto_destroy(client_);
}

bool TestClient::ready() {
  return eventually([this] {
    const std::lock_guard lock(mutex_);
    return connected_ && subscribed_ >= connects_ * subscriptions_.size();
  });
}

void TestClient::publish(const QString& topic, const QByteArray& payload, bool retain) {
  int mid = 0;
  ASSERT_EQ(mosquitto_publish(client_, &mid, topic.toUtf8().constData(),
                              static_cast<int>(payload.size()), payload.constData(), 1, retain),
            MOSQ_ERR_SUCCESS);
  ASSERT_TRUE(eventually([&] {
    const std::lock_guard lock(mutex_);
    return std::find(acknowledged_.begin(), acknowledged_.end(), mid) != acknowledged_.end();
  }));
}

std::vector<TestClient::Received> TestClient::on(const QString& topic) const {
  const std::lock_guard lock(mutex_);
  std::vector<Received> found;
  for (const Received& message : received_) {
    if (message.topic == topic) found.push_back(message);
  }
  return found;
}

std::vector<TestClient::Received> TestClient::all() const {
  const std::lock_guard lock(mutex_);
  return received_;
}
