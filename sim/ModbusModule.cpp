#include "sim/ModbusModule.h"

#include <QModbusRtuSerialServer>
#include <QSerialPort>
#include <QThread>
#include <stdexcept>

namespace sim {

namespace {

constexpr std::chrono::microseconds kFrameGap{50'000};

}  // namespace

std::string CoilChange::text() const {
  return "coil " + std::to_string(coil) + (on ? " on" : " off");
}

ModbusModule::ModbusModule(Options options) : options_(options), link_(options.paced) {
  if (options.coils < 1 || options.coils > kMostCoils) {
    throw std::invalid_argument("a Modbus board here has 1 to 32 coils, not " +
                                std::to_string(options.coils));
  }
  if (options.address < kFirstAddress || options.address > kLastAddress) {
    throw std::invalid_argument("a Modbus slave address is 1 to 247, not " +
                                std::to_string(options.address));
  }
  thread_ = std::make_unique<QThread>();
  context_ = new QObject;  // NOLINT(cppcoreguidelines-owning-memory): deleted on its thread
  context_->moveToThread(thread_.get());
  thread_->start();
  QString error;
  QMetaObject::invokeMethod(
      context_,
      [this, &error] {
        server_ = new QModbusRtuSerialServer;  // NOLINT(cppcoreguidelines-owning-memory)
        QModbusDataUnitMap map;
        map.insert(QModbusDataUnit::Coils, QModbusDataUnit(QModbusDataUnit::Coils, 0,
                                                           static_cast<quint16>(options_.coils)));
        server_->setMap(map);
        for (int n = 0; n < options_.coils; ++n) {
          if (((options_.on >> n) & 1U) != 0)
            server_->setData(QModbusDataUnit::Coils, static_cast<quint16>(n), 1);
        }
        coils_ = options_.on;
        server_->setServerAddress(options_.address);
        // A real board takes 3.5 characters of silence (4 ms at 9600 baud) for the end of a
        // frame and drops what came before. The simulated line's bytes can be held up longer
        // by a busy machine, so the board waits this long before it takes a pause for an end.
        server_->setInterFrameDelay(static_cast<int>(kFrameGap.count()));
        server_->setConnectionParameter(QModbusDevice::SerialPortNameParameter,
                                        QString::fromStdString(link_.secondPath()));
        server_->setConnectionParameter(QModbusDevice::SerialBaudRateParameter,
                                        QSerialPort::Baud9600);
        server_->setConnectionParameter(QModbusDevice::SerialParityParameter,
                                        QSerialPort::NoParity);
        server_->setConnectionParameter(QModbusDevice::SerialDataBitsParameter, QSerialPort::Data8);
        server_->setConnectionParameter(QModbusDevice::SerialStopBitsParameter,
                                        QSerialPort::OneStop);
        QObject::connect(server_, &QModbusServer::dataWritten, server_,
                         [this](QModbusDataUnit::RegisterType table, int address, int size) {
                           if (table == QModbusDataUnit::Coils) written(address, size);
                         });
        if (!server_->connectDevice()) error = server_->errorString();
      },
      Qt::BlockingQueuedConnection);
  if (!error.isNull()) {
    stopServer();
    throw std::runtime_error("the Modbus server did not start: " + error.toStdString());
  }
}

ModbusModule::~ModbusModule() { stopServer(); }

void ModbusModule::stopServer() {
  if (!thread_) return;
  QMetaObject::invokeMethod(
      context_,
      [this] {
        server_->disconnectDevice();
        delete server_;  // NOLINT(cppcoreguidelines-owning-memory)
        server_ = nullptr;
        delete context_;  // NOLINT(cppcoreguidelines-owning-memory)
      },
      Qt::BlockingQueuedConnection);
  thread_->quit();
  thread_->wait();
  thread_.reset();
}

void ModbusModule::written(int first, int count) {
  const auto at = std::chrono::steady_clock::now();
  std::lock_guard lock(mutex_);
  for (int n = first; n < first + count && n < options_.coils; ++n) {
    quint16 value = 0;
    server_->data(QModbusDataUnit::Coils, static_cast<quint16>(n), &value);
    const std::uint32_t bit = 1U << n;
    const bool on = value != 0;
    if (on == ((coils_ & bit) != 0)) continue;
    coils_ = on ? (coils_ | bit) : (coils_ & ~bit);
    log_.push_back({at, n, on});
  }
  changed_.notify_all();
}

bool ModbusModule::coil(int n) const {
  if (n < 0 || n >= options_.coils) throw std::out_of_range("coil number " + std::to_string(n));
  std::lock_guard lock(mutex_);
  return ((coils_ >> n) & 1U) != 0;
}

std::vector<CoilChange> ModbusModule::log() const { return logSince(0); }

std::vector<CoilChange> ModbusModule::logSince(std::size_t first) const {
  std::lock_guard lock(mutex_);
  if (first >= log_.size()) return {};
  return {log_.begin() + static_cast<std::ptrdiff_t>(first), log_.end()};
}

bool ModbusModule::waitForChanges(std::size_t count, std::chrono::milliseconds timeout) const {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, timeout, [&] { return log_.size() >= count; });
}

}  // namespace sim
