#include "ModbusBoard.h"

#include <QFileInfo>
#include <QModbusReply>
#include <QModbusRtuSerialClient>
#include <QThread>
#include <array>
#include <atomic>
#include <bit>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <mutex>
#include <stdexcept>
#include <utility>

#include "rig/BoardError.h"

#ifdef __linux__
#include <pthread.h>
#include <sched.h>
#endif

namespace modbus {

namespace {

// Modbus RTU slave addresses; 0 is broadcast, which no board answers.
constexpr int kFirstSlave = rig::kFirstModbusAddress;
constexpr int kLastSlave = rig::kLastModbusAddress;
// Beyond the client's own timeouts and retries, the wait gives up after this much more: a reply
// the client never finishes must not hold the thread.
constexpr std::chrono::milliseconds kGuardMargin{1000};
// The bytes of the RTU frames on the line, with the address and the checksum: writing one coil
// (function 05), writing several (15) before their values, reading coils (01), and the reading's
// answer before its values.
constexpr std::size_t kWriteOneSize = 8;
constexpr std::size_t kWriteManySize = 9;
constexpr std::size_t kReadSize = 8;
constexpr std::size_t kReadAnswerSize = 5;

}  // namespace

// A request's answer as its reply brought it, taken on the board's thread.
struct ModbusBoard::Pending {
  std::mutex mutex;
  std::condition_variable done;
  bool finished = false;
  bool refused = false;  // the client would not send it: its line is closed or broken
  QModbusDevice::Error error = QModbusDevice::NoError;
  QString errorString;
  int exceptionCode = 0;  // an exception answer's first data byte
  QModbusDataUnit result;
  bool raised = false;  // the board's thread took its caller's real-time priority for it
};

class ModbusBoard::Line {
 public:
  // Starts the board's thread and connects the client there; `error` has the client's words when
  // it cannot connect.
  Line(const std::string& port, const Options& options, QString& error) {
    context_->moveToThread(&thread_);
    thread_.start();
    run([&] {
      client_ =
          new QModbusRtuSerialClient;  // NOLINT(cppcoreguidelines-owning-memory): on its thread
      client_->setConnectionParameter(QModbusDevice::SerialPortNameParameter,
                                      QString::fromStdString(port));
      client_->setConnectionParameter(QModbusDevice::SerialBaudRateParameter, options.baudRate);
      client_->setConnectionParameter(QModbusDevice::SerialParityParameter, options.parity);
      client_->setConnectionParameter(QModbusDevice::SerialDataBitsParameter, QSerialPort::Data8);
      client_->setConnectionParameter(QModbusDevice::SerialStopBitsParameter, QSerialPort::OneStop);
      client_->setTimeout(static_cast<int>(options.timeout.count()));
      client_->setNumberOfRetries(options.retries);
      QObject::connect(client_, &QModbusDevice::stateChanged, client_,
                       [this](QModbusDevice::State state) {
                         connected_ = state == QModbusDevice::ConnectedState;
                       });
      QObject::connect(client_, &QModbusDevice::errorOccurred, client_, [this] {
        const std::lock_guard lock(mutex_);
        errorString_ = client_->errorString();
      });
      if (!client_->connectDevice() || client_->state() != QModbusDevice::ConnectedState) {
        error = client_->errorString();
        if (error.isNull()) error = QStringLiteral("");
      }
      connected_ = client_->state() == QModbusDevice::ConnectedState;
      interFrameDelay_ = client_->interFrameDelay();
#ifdef __linux__
      boardThread_ = pthread_self();
#endif
    });
  }
  ~Line() {
    // After every request handed over before: they have run.
    run([this] {
      client_->disconnectDevice();
      delete client_;   // NOLINT(cppcoreguidelines-owning-memory)
      delete context_;  // NOLINT(cppcoreguidelines-owning-memory)
    });
    thread_.quit();
    thread_.wait();
  }
  Line(const Line&) = delete;
  Line& operator=(const Line&) = delete;

  // Hands the request to the board's thread; its answer comes into what this returns. A request
  // made at a real-time priority (an armed shot's last stretch) is carried out at it: the board's
  // thread takes the caller's priority before it is woken for the request, and gives it back once
  // the answer is in, whatever the answer. The client's timer before the request and its write to
  // the line then wait for no ordinary work on the machine.
  std::shared_ptr<Pending> send(const QModbusDataUnit& unit, int slave, bool write) {
    auto pending = std::make_shared<Pending>();
    pending->raised = takeCallersPriority();
    QMetaObject::invokeMethod(
        context_,
        [this, pending, unit, slave, write] {
          QModbusReply* reply = write ? client_->sendWriteRequest(unit, slave)
                                      : client_->sendReadRequest(unit, slave);
          if (reply == nullptr) {
            settle(*pending, [this](Pending& p) {
              p.refused = true;
              p.errorString = client_->errorString();
            });
            return;
          }
          const auto take = [this, pending, reply] {
            settle(*pending, [reply](Pending& p) {
              p.error = reply->error();
              p.errorString = reply->errorString();
              p.result = reply->result();
              const QByteArray data = reply->rawResult().data();
              p.exceptionCode = data.isEmpty() ? 0 : static_cast<unsigned char>(data.at(0));
            });
            reply->deleteLater();
          };
          if (reply->isFinished()) {
            take();
          } else {
            QObject::connect(reply, &QModbusReply::finished, reply, take);
          }
        },
        Qt::QueuedConnection);
    return pending;
  }

  bool connected() const { return connected_; }
  QString errorString() const {
    const std::lock_guard lock(mutex_);
    return errorString_;
  }
  std::chrono::microseconds interFrameDelay() const {
    return std::chrono::microseconds(interFrameDelay_.load());
  }

 private:
  // Runs `work` on the board's thread and waits for it.
  void run(const std::function<void()>& work) {
    QMetaObject::invokeMethod(context_, work, Qt::BlockingQueuedConnection);
  }
  // Settles the request's answer; a priority taken for it is given back before it is told.
  template <typename Fill>
  void settle(Pending& pending, Fill fill) {
    if (pending.raised) giveBackPriority();
    {
      const std::lock_guard lock(pending.mutex);
      fill(pending);
      pending.finished = true;
    }
    pending.done.notify_all();
  }

  // On the caller's thread: when it runs at a real-time policy, the board's thread takes the same
  // (the first of overlapping requests keeps what the thread had). True when it did.
  bool takeCallersPriority() {
#ifdef __linux__
    int policy = SCHED_OTHER;
    sched_param param{};
    if (pthread_getschedparam(pthread_self(), &policy, &param) != 0 ||
        (policy != SCHED_FIFO && policy != SCHED_RR)) {
      return false;
    }
    const std::lock_guard lock(priorityMutex_);
    if (raisedRequests_ == 0) {
      if (pthread_getschedparam(boardThread_, &ownPolicy_, &ownParam_) != 0 ||
          pthread_setschedparam(boardThread_, policy, &param) != 0) {
        return false;
      }
    }
    ++raisedRequests_;
    return true;
#else
    return false;
#endif
  }
  // On the board's thread: the last request that took a priority puts the thread's own back.
  void giveBackPriority() {
#ifdef __linux__
    const std::lock_guard lock(priorityMutex_);
    if (raisedRequests_ > 0 && --raisedRequests_ == 0) {
      pthread_setschedparam(boardThread_, ownPolicy_, &ownParam_);
    }
#endif
  }

  QThread thread_;
  QObject* context_ =
      new QObject;  // NOLINT(cppcoreguidelines-owning-memory): deleted on its thread
  QModbusRtuSerialClient* client_ = nullptr;  // made, used and deleted on the board's thread
  std::atomic<bool> connected_{false};
  std::atomic<int> interFrameDelay_{0};
  mutable std::mutex mutex_;
  QString errorString_;
#ifdef __linux__
  pthread_t boardThread_{};  // the board's thread, as the system knows it
  std::mutex priorityMutex_;
  int raisedRequests_ = 0;  // requests under way at a priority taken from their callers
  int ownPolicy_ = SCHED_OTHER;
  sched_param ownParam_{};
#endif
};

ModbusBoard::ModbusBoard(std::string port, int slave, Options options)
    : port_(std::move(port)), slave_(slave), options_(options) {
  if (slave < kFirstSlave || slave > kLastSlave) {
    throw std::invalid_argument("a Modbus slave address is 1 to 247, not " + std::to_string(slave));
  }
  if (options.relays < 1 || options.relays > kMaxRelays) {
    throw std::invalid_argument("a Modbus relay board has 1 to 32 relays here, not " +
                                std::to_string(options.relays));
  }
}

ModbusBoard::~ModbusBoard() = default;

std::optional<std::pair<std::string, int>> ModbusBoard::parseIdentity(std::string_view identity) {
  return rig::modbusLine(identity);
}

std::string ModbusBoard::exceptionName(int code) {
  static constexpr std::array<const char*, 12> kNames{"",
                                                      "illegal function",
                                                      "illegal data address",
                                                      "illegal data value",
                                                      "server device failure",
                                                      "acknowledge",
                                                      "server device busy",
                                                      "negative acknowledge",
                                                      "memory parity error",
                                                      "",
                                                      "gateway path unavailable",
                                                      "gateway target device failed to respond"};
  char hex[8];
  std::snprintf(hex, sizeof hex, "%02X", static_cast<unsigned>(code) & 0xFFU);
  const char* name = code >= 0 && code < static_cast<int>(kNames.size()) ? kNames.at(code) : "";
  return std::string("exception ") + hex + " (" + (*name != '\0' ? name : "unknown") + ")";
}

rig::BoardName ModbusBoard::name() const {
  return {"modbus", port_ + "@" + std::to_string(slave_)};
}

void ModbusBoard::fail(const std::string& reason, rig::FailureKind kind) const {
  throw rig::boardError(name(), port_, reason, kind);
}

bool ModbusBoard::isOpen() const { return line_ && line_->connected(); }

void ModbusBoard::open() {
  if (line_) fail("already open", rig::FailureKind::Other);
  QString reason;
  auto line = std::make_unique<Line>(port_, options_, reason);
  if (!reason.isNull()) {
    line.reset();
    // The client gives only words; the kind follows from them and from the device node.
    rig::FailureKind kind = rig::FailureKind::Other;
    if (!QFileInfo::exists(QString::fromStdString(port_))) {
      kind = rig::FailureKind::NoDevice;
    } else if (reason.contains(QLatin1String("ermission"))) {
      kind = rig::FailureKind::Permission;
    } else if (reason.contains(QLatin1String("busy"), Qt::CaseInsensitive) ||
               reason.contains(QLatin1String("lock"), Qt::CaseInsensitive)) {
      kind = rig::FailureKind::Busy;
    }
    fail(reason.toStdString(), kind);
  }
  line_ = std::move(line);
  wentAway_ = false;
  try {
    readRelays();
  } catch (...) {  // passes on, the port closed
    close();
    throw;
  }
}

bool ModbusBoard::gone() {
  if (!line_) return false;
  // Once seen gone, gone until opened again: a board put back at the same path has lost what it
  // was told, and this line no longer reaches it.
  wentAway_ = wentAway_ || !line_->connected() || !QFileInfo::exists(QString::fromStdString(port_));
  return wentAway_;
}

void ModbusBoard::close() {
  started_.reset();
  line_.reset();
}

QModbusDataUnit ModbusBoard::await(const std::shared_ptr<Pending>& pending, const char* what) {
  const auto guard = options_.timeout * (options_.retries + 1) + kGuardMargin;
  std::unique_lock lock(pending->mutex);
  if (!pending->done.wait_for(lock, guard, [&pending] { return pending->finished; })) {
    fail(std::string(what) + ": no reply", rig::FailureKind::NoAnswer);
  }
  if (pending->refused) {
    fail(std::string(what) + ": " + pending->errorString.toStdString(),
         rig::FailureKind::WriteFailed);
  }
  switch (pending->error) {
    case QModbusDevice::NoError:
      return pending->result;
    case QModbusDevice::TimeoutError:
      fail(std::string(what) + ": no answer from slave " + std::to_string(slave_),
           rig::FailureKind::NoAnswer);
    case QModbusDevice::ProtocolError:
      // An exception answer's first data byte is its code; QModbusPdu::exceptionCode() is not
      // used, as it tests the exception bit on an enum value that cannot hold it.
      fail(std::string(what) + ": " + exceptionName(pending->exceptionCode),
           rig::FailureKind::NotUnderstood);
    case QModbusDevice::ConnectionError:
    case QModbusDevice::ReplyAbortedError:
      fail(std::string(what) + ": " + pending->errorString.toStdString(),
           rig::FailureKind::DeviceGone);
    default:
      fail(std::string(what) + ": " + pending->errorString.toStdString(),
           rig::FailureKind::NotUnderstood);
  }
}

void ModbusBoard::checkLine() const {
  if (!line_) fail("not open", rig::FailureKind::NotOpen);
  // Opened, but the client has since lost its line (the adapter was unplugged).
  if (!line_->connected()) {
    fail("the line was lost: " + line_->errorString().toStdString(), rig::FailureKind::DeviceGone);
  }
}

QModbusDataUnit ModbusBoard::read(int first, int count) {
  checkLine();
  const QModbusDataUnit unit(QModbusDataUnit::Coils, first, static_cast<quint16>(count));
  QModbusDataUnit result = await(line_->send(unit, slave_, false), "reading the coils");
  if (result.valueCount() < static_cast<qsizetype>(count)) {
    fail("reading the coils: " + std::to_string(result.valueCount()) +
             " coils in the answer, not " + std::to_string(count),
         rig::FailureKind::NotUnderstood);
  }
  return result;
}

void ModbusBoard::write(const QModbusDataUnit& unit) {
  checkLine();
  await(line_->send(unit, slave_, true), "switching the coils");
}

void ModbusBoard::switchRelay(int relay, bool on) {
  rig::checkRelayNumber(relay, options_.relays);
  // One coil: the client sends it with function 05.
  write(
      QModbusDataUnit(QModbusDataUnit::Coils, relay, QList<quint16>{on ? quint16{1} : quint16{0}}));
}

void ModbusBoard::switchRelays(rig::RelayMask which, rig::RelayMask on) {
  startSwitch(which, on);
  finishSwitch();
}

void ModbusBoard::startSwitch(rig::RelayMask which, rig::RelayMask on) {
  rig::checkRelayMask(which, options_.relays);
  finishSwitch();  // one write on its way at a time
  if (which == 0) return;
  const QModbusDataUnit unit = spanOf(which, on);
  checkLine();
  started_ = line_->send(unit, slave_, true);
}

void ModbusBoard::finishSwitch() {
  if (!started_) return;
  await(std::exchange(started_, nullptr), "switching the coils");
}

QModbusDataUnit ModbusBoard::spanOf(rig::RelayMask which, rig::RelayMask on) {
  const int first = std::countr_zero(which);
  const int last = 31 - std::countl_zero(which);
  const int count = last - first + 1;
  const rig::RelayMask span = rig::allRelays(count) << first;
  // Relays between the asked ones keep their states: read them when there are any.
  const rig::RelayMask keep = (span & ~which) != 0 ? readRelays() : 0;
  const rig::RelayMask wanted = (keep & ~which) | (on & which);
  QList<quint16> values;
  for (int relay = first; relay <= last; ++relay) values.append((wanted >> relay) & 1U);
  return {QModbusDataUnit::Coils, first, values};
}

rig::Clock::duration ModbusBoard::onTheLine(std::size_t bytes) const {
  const std::int64_t bits = options_.parity == QSerialPort::NoParity ? 10 : 11;
  return std::chrono::duration_cast<rig::Clock::duration>(std::chrono::nanoseconds(
      static_cast<std::int64_t>(bytes) * bits * 1'000'000'000 / options_.baudRate));
}

rig::Clock::duration ModbusBoard::silence() const {
  // The client times it in whole milliseconds, so it keeps more than 3.5 characters: ask it.
  if (line_) return line_->interFrameDelay();
  return onTheLine(7) / 2;
}

rig::Clock::duration ModbusBoard::switchLead(int /*relay*/, bool /*on*/) const {
  return silence() + onTheLine(kWriteOneSize);
}

rig::Clock::duration ModbusBoard::groupLead(rig::RelayMask which, rig::RelayMask on) const {
  if (which == 0) return {};
  const int first = std::countr_zero(which);
  const int count = 32 - std::countl_zero(which) - first;
  if (count == 1) return switchLead(first, (on & which) != 0);
  const auto coilBytes = [](int coils) { return static_cast<std::size_t>((coils + 7) / 8); };
  rig::Clock::duration lead = silence() + onTheLine(kWriteManySize + coilBytes(count));
  const rig::RelayMask span = rig::allRelays(count) << first;
  if ((span & ~which) != 0) {
    // The reading of the coils to keep: its request, its answer, and the silence after it.
    lead += silence() + onTheLine(kReadSize + kReadAnswerSize + coilBytes(options_.relays));
  }
  return lead;
}

rig::RelayMask ModbusBoard::readRelays() {
  const QModbusDataUnit unit = read(0, options_.relays);
  rig::RelayMask mask = 0;
  for (int relay = 0; relay < options_.relays; ++relay) {
    if (unit.value(relay) != 0) mask |= rig::RelayMask{1} << relay;
  }
  return mask;
}

}  // namespace modbus
