#include "Link.h"

#include <mosquitto.h>

#include <QElapsedTimer>
#include <QSocketNotifier>
#include <QTimer>
#include <cerrno>
#include <cstring>
#include <iterator>
#include <mutex>
#include <utility>

namespace bridge {

namespace {

using namespace std::chrono_literals;

// The first retry comes soon after a loss; each failure doubles the wait up to the longest.
constexpr auto kFirstRetry = 500ms;
constexpr auto kLongestRetry = 10s;
// An attempt with no answer from the broker in this time is given up and retried.
constexpr auto kConnectTimeout = 10s;
// Seconds of silence after which the broker is pinged; no answer within as long again is a loss.
constexpr int kKeepAliveSeconds = 10;
constexpr auto kHousekeeping = 1s;
// Kept messages beyond this many while the broker is away push out the oldest.
constexpr std::size_t kMostKept = 256;
// How long a clean exit waits for the broker to take the last message, and the disconnect.
constexpr int kFinishMs = 2000;
constexpr int kFinishStepMs = 50;

// The library's words for an error, as a phrase: "connection refused", "the connection was lost".
QString describe(int code) {
  QString text = code == MOSQ_ERR_ERRNO ? QString::fromLocal8Bit(std::strerror(errno))
                                        : QString::fromUtf8(mosquitto_strerror(code));
  if (text.endsWith(QLatin1Char('.'))) text.chop(1);
  if (!text.isEmpty()) text[0] = text[0].toLower();
  return text;
}

// The broker's CONNACK refusals (MQTT 3.1.1) in words.
QString refusalText(int code) {
  switch (code) {
    case 1:
      return QStringLiteral("refused: unsupported protocol version");
    case 2:
      return QStringLiteral("refused: client identifier rejected");
    case 3:
      return QStringLiteral("refused: broker unavailable");
    case 4:
      return QStringLiteral("refused: bad user name or password");
    case 5:
      // What brokers commonly answer to a wrong password.
      return QStringLiteral("refused: not authorised (bad user name or password?)");
    default:
      return QStringLiteral("refused (code %1)").arg(code);
  }
}

}  // namespace

Link::Link(BrokerSettings settings, QStringList subscriptions, Message will)
    : settings_(std::move(settings)),
      subscriptions_(std::move(subscriptions)),
      will_(std::move(will)) {
  static std::once_flag initialised;
  std::call_once(initialised, [] { mosquitto_lib_init(); });
}

Link::~Link() { closeClient(); }

void Link::start() {
  misc_ = new QTimer(this);
  misc_->setInterval(kHousekeeping);
  connect(misc_, &QTimer::timeout, this, &Link::housekeeping);
  retry_ = new QTimer(this);
  retry_->setSingleShot(true);
  connect(retry_, &QTimer::timeout, this, &Link::attempt);
  connectLimit_ = new QTimer(this);
  connectLimit_->setSingleShot(true);
  connectLimit_->setInterval(kConnectTimeout);
  connect(connectLimit_, &QTimer::timeout, this,
          [this] { lost(QStringLiteral("no answer from the broker")); });
  attempt();
}

void Link::attempt() {
  if (finished_) return;
  closeClient();
  refusal_.clear();
  // A clean session: a command published while this rig is away is not kept for it, and
  // nothing is delivered twice after a reconnect.
  client_ = mosquitto_new(nullptr, true, this);
  if (client_ == nullptr) {
    lost(QStringLiteral("out of memory"));
    return;
  }
  mosquitto_int_option(client_, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V311);
  mosquitto_connect_callback_set(client_, &Link::onConnect);
  mosquitto_message_callback_set(client_, &Link::onMessage);
  mosquitto_publish_callback_set(client_, &Link::onPublish);
  if (!settings_.user.isEmpty()) {
    const QByteArray user = settings_.user.toUtf8();
    const QByteArray password = settings_.password.toUtf8();
    mosquitto_username_pw_set(client_, user.constData(),
                              password.isEmpty() ? nullptr : password.constData());
  }
  // A link that only sends (a studio's one command) leaves no will.
  if (!will_.topic.isEmpty()) {
    const QByteArray willTopic = will_.topic.toUtf8();
    mosquitto_will_set(client_, willTopic.constData(), static_cast<int>(will_.payload.size()),
                       will_.payload.constData(), 1, true);
  }
  if (settings_.tls) {
    int code = MOSQ_ERR_SUCCESS;
    if (settings_.caFile.isEmpty()) {
      code = mosquitto_int_option(client_, MOSQ_OPT_TLS_USE_OS_CERTS, 1);
    } else {
      const QByteArray caFile = settings_.caFile.toLocal8Bit();
      code = mosquitto_tls_set(client_, caFile.constData(), nullptr, nullptr, nullptr, nullptr);
    }
    if (code != MOSQ_ERR_SUCCESS) {
      lost(QStringLiteral("TLS: %1").arg(describe(code)));
      return;
    }
  }
  const QByteArray host = settings_.host.toUtf8();
  const int code =
      mosquitto_connect_async(client_, host.constData(), settings_.port, kKeepAliveSeconds);
  if (code != MOSQ_ERR_SUCCESS) {
    lost(describe(code));
    return;
  }
  watchSocket();
  connectLimit_->start();
  misc_->start();
}

void Link::watchSocket() {
  const int socket = mosquitto_socket(client_);
  if (socket < 0) return;
  reader_ = new QSocketNotifier(socket, QSocketNotifier::Read, this);
  connect(reader_, &QSocketNotifier::activated, this, &Link::readable);
  writer_ = new QSocketNotifier(socket, QSocketNotifier::Write, this);
  connect(writer_, &QSocketNotifier::activated, this, &Link::writable);
  updateWrite();
}

void Link::updateWrite() {
  if (writer_ != nullptr) writer_->setEnabled(client_ != nullptr && mosquitto_want_write(client_));
}

void Link::readable() {
  if (client_ == nullptr) return;
  const int code = mosquitto_loop_read(client_, 1);
  if (code != MOSQ_ERR_SUCCESS) {
    lost(refusal_.isEmpty() ? describe(code) : refusal_);
    return;
  }
  updateWrite();
}

void Link::writable() {
  if (client_ == nullptr) return;
  const int code = mosquitto_loop_write(client_, 1);
  if (code != MOSQ_ERR_SUCCESS) {
    lost(describe(code));
    return;
  }
  updateWrite();
}

void Link::housekeeping() {
  if (client_ == nullptr) return;
  mosquitto_loop_misc(client_);
  // A keep-alive without answer closes the socket.
  if (mosquitto_socket(client_) < 0) {
    lost(QStringLiteral("the broker stopped answering"));
    return;
  }
  updateWrite();
}

void Link::closeClient() {
  // Notifiers go before the socket they watch is closed.
  delete reader_;
  reader_ = nullptr;
  delete writer_;
  writer_ = nullptr;
  if (client_ != nullptr) {
    mosquitto_destroy(client_);
    client_ = nullptr;
  }
  connected_ = false;
}

void Link::lost(const QString& reason) {
  const bool refused = !refusal_.isEmpty();
  closeClient();
  if (misc_ != nullptr) misc_->stop();
  if (connectLimit_ != nullptr) connectLimit_->stop();
  // What was sent but not acknowledged goes out again first, in its order.
  while (!inFlight_.empty()) {
    const auto last = std::prev(inFlight_.end());
    waiting_.push_front(std::move(last->second));
    inFlight_.erase(last);
  }
  while (waiting_.size() > kMostKept) waiting_.pop_front();
  if (finished_) return;
  backoff_ = backoff_.count() == 0
                 ? std::chrono::milliseconds(kFirstRetry)
                 : std::min(backoff_ * 2, std::chrono::milliseconds(kLongestRetry));
  retry_->start(backoff_);
  emit down(reason, refused, backoff_);
}

void Link::onConnect(mosquitto* /*client*/, void* self, int code) {
  auto* link = static_cast<Link*>(self);
  if (code != 0) {
    link->refusal_ = refusalText(code);
    return;
  }
  link->connected_ = true;
  link->backoff_ = std::chrono::milliseconds(0);
  link->connectLimit_->stop();
  for (const QString& topic : std::as_const(link->subscriptions_)) {
    mosquitto_subscribe(link->client_, nullptr, topic.toUtf8().constData(), 1);
  }
  std::deque<Message> waiting;
  waiting.swap(link->waiting_);
  for (Message& message : waiting) link->publish(message, true);
  emit link->up();
}

void Link::onMessage(mosquitto* /*client*/, void* self, const mosquitto_message* message) {
  auto* link = static_cast<Link*>(self);
  const QByteArray payload(static_cast<const char*>(message->payload), message->payloadlen);
  emit link->received(QString::fromUtf8(message->topic), payload, message->retain);
}

void Link::onPublish(mosquitto* /*client*/, void* self, int mid) {
  auto* link = static_cast<Link*>(self);
  link->inFlight_.erase(mid);
  if (mid == link->lastMid_) link->lastAcknowledged_ = true;
}

bool Link::send(const Message& message, int* mid) {
  const QByteArray topic = message.topic.toUtf8();
  const int code =
      mosquitto_publish(client_, mid, topic.constData(), static_cast<int>(message.payload.size()),
                        message.payload.constData(), 1, message.retain);
  return code == MOSQ_ERR_SUCCESS;
}

void Link::publish(const Link::Message& message, bool keep) {
  if (!connected_) {
    if (keep) {
      waiting_.push_back(message);
      while (waiting_.size() > kMostKept) waiting_.pop_front();
    }
    return;
  }
  int mid = 0;
  if (!send(message, &mid)) {
    if (keep) waiting_.push_back(message);
    return;
  }
  if (keep) inFlight_.emplace(mid, message);
  updateWrite();
}

void Link::finish(const Link::Message& last) {
  finished_ = true;
  if (retry_ != nullptr) retry_->stop();
  if (client_ != nullptr && connected_) {
    // The notifiers stay quiet while this runs the connection itself for a moment.
    if (reader_ != nullptr) reader_->setEnabled(false);
    if (writer_ != nullptr) writer_->setEnabled(false);
    QElapsedTimer elapsed;
    elapsed.start();
    lastAcknowledged_ = false;
    if (!last.topic.isEmpty() && send(last, &lastMid_)) {
      while (!lastAcknowledged_ && elapsed.elapsed() < kFinishMs &&
             mosquitto_loop(client_, kFinishStepMs, 1) == MOSQ_ERR_SUCCESS) {
      }
    }
    mosquitto_disconnect(client_);
    while (mosquitto_socket(client_) >= 0 && elapsed.elapsed() < kFinishMs &&
           mosquitto_loop(client_, kFinishStepMs, 1) == MOSQ_ERR_SUCCESS) {
    }
  }
  closeClient();
  delete misc_;
  misc_ = nullptr;
  delete retry_;
  retry_ = nullptr;
  delete connectLimit_;
  connectLimit_ = nullptr;
}

}  // namespace bridge
