#include <gtest/gtest.h>

#include <QDeadlineTimer>
#include <QFile>
#include <QFileInfo>
#include <QModbusRtuSerialServer>
#include <QProcess>
#include <QSerialPort>
#include <QTemporaryDir>
#include <QThread>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#ifdef __linux__
#include <pthread.h>
#include <sched.h>
#include <unistd.h>
#endif

#include "boards/Catalog.h"
#include "boards/modbus/ModbusBoard.h"
#include "rig/SerialControl.h"
#include "support/ErrorFrom.h"

using namespace std::chrono_literals;

namespace {

// Two pseudo-terminals joined back to back by socat: what goes into one comes out of the other,
// and both are opened by path like serial ports.
class LinkedTerminals {
 public:
  LinkedTerminals() {
    a_ = dir_.filePath(QStringLiteral("a"));
    b_ = dir_.filePath(QStringLiteral("b"));
    socat_.start(QStringLiteral("socat"), {QStringLiteral("pty,raw,echo=0,link=") + a_,
                                           QStringLiteral("pty,raw,echo=0,link=") + b_});
    const QDeadlineTimer deadline(5000);
    while (!(QFileInfo::exists(a_) && QFileInfo::exists(b_)) && !deadline.hasExpired()) {
      QThread::msleep(10);
    }
  }
  ~LinkedTerminals() {
    socat_.kill();
    socat_.waitForFinished(2000);
  }
  LinkedTerminals(const LinkedTerminals&) = delete;
  LinkedTerminals& operator=(const LinkedTerminals&) = delete;

  bool ready() const { return QFileInfo::exists(a_) && QFileInfo::exists(b_); }
  const QString& a() const { return a_; }
  std::string b() const { return b_.toStdString(); }

 private:
  QTemporaryDir dir_;
  QString a_;
  QString b_;
  QProcess socat_;
};

struct Write {
  int address;
  int size;
  bool operator==(const Write&) const = default;
};

// The board driver against Qt's own Modbus RTU server, holding 8 coils at slave address 1, on a
// thread of its own: the driver's calls wait without running this thread's events.
class ModbusBoardTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(terminals.ready()) << "socat did not link two terminals";
    context.moveToThread(&serverThread);
    serverThread.start();
    QString error;
    onServer([this, &error] {
      server = std::make_unique<QModbusRtuSerialServer>();
      holdCoils(8);
      server->setServerAddress(1);
      server->setConnectionParameter(QModbusDevice::SerialPortNameParameter, terminals.a());
      server->setConnectionParameter(QModbusDevice::SerialBaudRateParameter, QSerialPort::Baud9600);
      server->setConnectionParameter(QModbusDevice::SerialParityParameter, QSerialPort::NoParity);
      server->setConnectionParameter(QModbusDevice::SerialDataBitsParameter, QSerialPort::Data8);
      server->setConnectionParameter(QModbusDevice::SerialStopBitsParameter, QSerialPort::OneStop);
      if (!server->connectDevice()) error = server->errorString();
      QObject::connect(server.get(), &QModbusServer::dataWritten,
                       [this](QModbusDataUnit::RegisterType table, int address, int size) {
                         const std::lock_guard lock(writesGuard);
                         if (table == QModbusDataUnit::Coils) writes_.push_back({address, size});
                       });
    });
    ASSERT_TRUE(error.isNull()) << error.toStdString();
  }
  void TearDown() override {
    onServer([this] { server.reset(); });
    serverThread.quit();
    serverThread.wait();
  }

  // Runs `work` on the server's thread and waits for it.
  void onServer(const std::function<void()>& work) {
    QMetaObject::invokeMethod(&context, work, Qt::BlockingQueuedConnection);
  }
  // Call on the server's thread, or through onServer.
  void holdCoils(int count) {
    QModbusDataUnitMap map;
    map.insert(QModbusDataUnit::Coils, QModbusDataUnit(QModbusDataUnit::Coils, 0, count));
    server->setMap(map);
  }
  void setCoil(int address, bool on) {
    onServer([&] { server->setData(QModbusDataUnit::Coils, static_cast<quint16>(address), on); });
  }
  bool coil(int address) {
    quint16 value = 0;
    onServer([&] { server->data(QModbusDataUnit::Coils, static_cast<quint16>(address), &value); });
    return value != 0;
  }
  std::vector<Write> writes() {
    const std::lock_guard lock(writesGuard);
    return writes_;
  }
  void clearWrites() {
    const std::lock_guard lock(writesGuard);
    writes_.clear();
  }

  modbus::ModbusBoard board(int slave = 1, int relays = 8) {
    modbus::ModbusBoard::Options options;
    options.relays = relays;
    options.timeout = 300ms;
    options.retries = 0;
    return {terminals.b(), slave, options};
  }

  LinkedTerminals terminals;
  QThread serverThread;
  QObject context;  // on the server's thread
  std::unique_ptr<QModbusRtuSerialServer> server;
  std::mutex writesGuard;
  std::vector<Write> writes_;
};

TEST_F(ModbusBoardTest, SwitchesOneCoilOrSeveralInOneRequestAndReadsTheBoardsOwnStates) {
  auto b = board();
  b.open();
  EXPECT_EQ(b.name().text(), "modbus:" + terminals.b() + "@1");
  EXPECT_TRUE(b.abilities().readBack);
  EXPECT_TRUE(b.abilities().switchMany);

  b.switchRelay(5, true);
  EXPECT_TRUE(coil(5));
  b.switchRelays(0b0111, 0b0101);
  EXPECT_TRUE(coil(0));
  EXPECT_FALSE(coil(1));
  EXPECT_TRUE(coil(2));
  // Each request is one write at the server: the three coils went together.
  EXPECT_EQ(writes(), (std::vector<Write>{{5, 1}, {0, 3}}));

  // A coil switched at the board (by another master) reads as it is.
  setCoil(7, true);
  EXPECT_EQ(b.readRelays(), 0b10100101U);
  EXPECT_TRUE(b.readRelay(7));
  EXPECT_FALSE(b.readRelay(1));
}

#ifdef __linux__
// The calling thread at an armed shot's real-time priority while it lives, where the system
// allows it.
class RealTimeHere {
 public:
  RealTimeHere() {
    pthread_getschedparam(pthread_self(), &policy_, &saved_);
    sched_param raised{};
    raised.sched_priority = sched_get_priority_min(SCHED_FIFO) + 1;
    raised_ = pthread_setschedparam(pthread_self(), SCHED_FIFO, &raised) == 0;
  }
  ~RealTimeHere() {
    if (raised_) pthread_setschedparam(pthread_self(), policy_, &saved_);
  }
  RealTimeHere(const RealTimeHere&) = delete;
  RealTimeHere& operator=(const RealTimeHere&) = delete;
  bool raised() const { return raised_; }

 private:
  int policy_ = SCHED_OTHER;
  sched_param saved_{};
  bool raised_ = false;
};

// How many of this process's threads, the calling one left out, run at a real-time policy.
int otherRealTimeThreads() {
  int count = 0;
  for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
    const pid_t id = std::stoi(task.path().filename().string());
    if (id == ::gettid()) continue;
    const int policy = ::sched_getscheduler(id);
    count += policy == SCHED_FIFO || policy == SCHED_RR ? 1 : 0;
  }
  return count;
}

// A write made at a real-time priority (an armed shot's) is carried out at it on the board's own
// thread, which gives it back once the answer is in, a refusal too.
TEST_F(ModbusBoardTest, ATimedWriteRunsAtItsCallersPriorityUntilItsAnswer) {
  auto b = board();
  b.open();
  const RealTimeHere realTime;
  if (!realTime.raised()) GTEST_SKIP() << "no real-time priority for this process";
  ASSERT_EQ(otherRealTimeThreads(), 0);
  b.startSwitch(1U << 2, 1U << 2);
  // The client keeps its silence (milliseconds) before the request goes out.
  EXPECT_EQ(otherRealTimeThreads(), 1) << "the board's thread, until the answer";
  b.finishSwitch();
  EXPECT_EQ(otherRealTimeThreads(), 0);
  EXPECT_TRUE(coil(2));

  onServer([this] { holdCoils(2); });
  EXPECT_EQ(errorFrom([&] { b.switchRelay(5, true); }).kind(), rig::FailureKind::NotUnderstood);
  EXPECT_EQ(otherRealTimeThreads(), 0);
}
#endif

// A board whose device went away stays gone when a device is back at its path, until it is
// opened again: the one put back has lost what it was told and must be found and reset anew.
TEST_F(ModbusBoardTest, ABoardThatWentAwayStaysGoneUntilItIsOpenedAgain) {
  modbus::ModbusBoard subject = board();
  subject.open();
  ASSERT_FALSE(subject.gone());
  const QString path = QString::fromStdString(terminals.b());
  ASSERT_TRUE(QFile::rename(path, path + QStringLiteral(".away")));
  EXPECT_TRUE(subject.gone());
  ASSERT_TRUE(QFile::rename(path + QStringLiteral(".away"), path));
  EXPECT_TRUE(subject.gone()) << "a device back at the path is not this opening's";
  subject.close();
  subject.open();
  EXPECT_FALSE(subject.gone());
}

TEST_F(ModbusBoardTest, RelaysBetweenTheSwitchedOnesKeepTheirStates) {
  auto b = board();
  b.open();
  setCoil(2, true);
  clearWrites();
  b.switchRelays(0b10001, 0b10001);  // relays 0 and 4: the span 0..4 in one request
  EXPECT_EQ(writes(), (std::vector<Write>{{0, 5}}));
  EXPECT_EQ(b.readRelays(), 0b10101U);
}

// A write starts this long before it lands: its bytes on the line after the client's silence,
// which is at least 3.5 characters and, timed in whole milliseconds, less than one more.
TEST_F(ModbusBoardTest, ASwitchsLeadIsItsRequestOnTheLineAfterTheClientsSilence) {
  using Ms = std::chrono::duration<double, std::milli>;
  const auto expectLead = [](rig::Clock::duration lead, double bytes, double bitsPerByte) {
    const double wire = bytes * bitsPerByte / 9.6;
    const double leastSilence = 3.5 * 11 / 9.6;  // the client counts 11 bits a character
    EXPECT_GE(Ms(lead).count(), wire + leastSilence - 1e-3) << bytes << " bytes";
    EXPECT_LT(Ms(lead).count(), wire + leastSilence + 1.0) << bytes << " bytes";
  };
  auto b = board();
  b.open();
  expectLead(b.switchLead(3, true), 8, 10);  // function 05
  EXPECT_EQ(b.groupLead(1U << 3, 1U << 3), b.switchLead(3, true));
  expectLead(b.groupLead(0xFF, 0xFF), 10, 10);  // 15: 8 coils, one byte of them
  // Relays 0 and 4: the coils between are read first, and the write comes after that.
  EXPECT_GT(b.groupLead(0b10001, 0b10001) - b.groupLead(0b11111, 0b10001),
            std::chrono::duration_cast<rig::Clock::duration>(Ms(14 / 0.96)))
      << "the reading's 14 bytes come first";

  modbus::ModbusBoard::Options even;
  even.parity = QSerialPort::EvenParity;
  even.timeout = 300ms;
  even.retries = 0;
  modbus::ModbusBoard parity(terminals.b(), 1, even);
  expectLead(parity.switchLead(0, true), 8, 11);  // a parity bit each
}

TEST_F(ModbusBoardTest, AWrongSlaveAddressIsNoAnswerAndLeavesTheBoardClosed) {
  auto b = board(2);
  const auto e = errorFrom([&] { b.open(); });
  EXPECT_EQ(e.kind(), rig::FailureKind::NoAnswer) << e.what();
  EXPECT_NE(std::string(e.what()).find("@2"), std::string::npos) << e.what();
  EXPECT_FALSE(b.isOpen());
}

TEST_F(ModbusBoardTest, AnExceptionReplyIsNotUnderstoodWithTheExceptionNamed) {
  // More coils than the server holds: the opening read is answered with an exception.
  auto tooMany = board(1, 16);
  const auto atOpen = errorFrom([&] { tooMany.open(); });
  EXPECT_EQ(atOpen.kind(), rig::FailureKind::NotUnderstood);
  EXPECT_NE(std::string(atOpen.what()).find("exception 02 (illegal data address)"),
            std::string::npos)
      << atOpen.what();

  // A write the server refuses.
  auto b = board();
  b.open();
  onServer([this] { holdCoils(4); });
  const auto atWrite = errorFrom([&] { b.switchRelay(6, true); });
  EXPECT_EQ(atWrite.kind(), rig::FailureKind::NotUnderstood);
  EXPECT_NE(std::string(atWrite.what()).find("illegal data address"), std::string::npos);
  EXPECT_TRUE(b.isOpen()) << "an exception is the board's answer, not a lost line";
}

TEST_F(ModbusBoardTest, RefusesUseWhileClosedAndRelaysItHasNot) {
  auto b = board();
  EXPECT_EQ(errorFrom([&] { b.readRelays(); }).kind(), rig::FailureKind::NotOpen);
  b.open();
  EXPECT_THROW(b.switchRelay(8, true), std::out_of_range);
  EXPECT_THROW(b.switchRelays(1U << 8, 0), std::out_of_range);
  b.close();
  EXPECT_EQ(errorFrom([&] { b.switchRelay(0, true); }).kind(), rig::FailureKind::NotOpen);
}

TEST(ModbusBoard, AMissingPortIsNoDevice) {
  modbus::ModbusBoard b("/dev/quillmar-no-such-port", 1, {});
  EXPECT_EQ(errorFrom([&] { b.open(); }).kind(), rig::FailureKind::NoDevice);
}

TEST(ModbusBoard, NamesAreThePortAndTheSlaveAddress) {
  using Identity = std::optional<std::pair<std::string, int>>;
  EXPECT_EQ(modbus::ModbusBoard::parseIdentity("/dev/ttyUSB0@3"), Identity({"/dev/ttyUSB0", 3}));
  EXPECT_EQ(modbus::ModbusBoard::parseIdentity("/dev/serial/by-id/a@b@247"),
            Identity({"/dev/serial/by-id/a@b", 247}));
  for (const char* bad : {"/dev/ttyUSB0", "/dev/ttyUSB0@0", "/dev/ttyUSB0@248", "@3",
                          "/dev/ttyUSB0@3x", "/dev/ttyUSB0@"}) {
    EXPECT_EQ(modbus::ModbusBoard::parseIdentity(bad), std::nullopt) << bad;
  }
  EXPECT_THROW(modbus::ModbusBoard("/dev/ttyUSB0", 0, {}), std::invalid_argument);
  modbus::ModbusBoard::Options none;
  none.relays = 33;
  EXPECT_THROW(modbus::ModbusBoard("/dev/ttyUSB0", 1, none), std::invalid_argument);
  EXPECT_EQ(modbus::ModbusBoard::exceptionName(0x0B),
            "exception 0B (gateway target device failed to respond)");
  EXPECT_EQ(modbus::ModbusBoard::exceptionName(0x42), "exception 42 (unknown)");
}

// A Modbus line cannot be searched: the catalog lists a configured board when it answers at its
// address, and finds a named one by opening that address.
TEST_F(ModbusBoardTest, TheCatalogFindsAModbusBoardOnlyWhereItAnswers) {
  boards::Catalog::Parts parts;
  parts.modbusOptions.timeout = 200ms;
  parts.modbusOptions.retries = 0;
  const rig::BoardName here{"modbus", terminals.b() + "@1"};
  const rig::BoardName elsewhere{"modbus", terminals.b() + "@4"};
  parts.modbus = {here, elsewhere};
  boards::Catalog catalog(parts);

  const std::vector<rig::FoundBoard> found = catalog.list().boards;
  ASSERT_EQ(found.size(), 1U);
  EXPECT_EQ(found[0].name, here);
  EXPECT_EQ(found[0].path, terminals.b());
  EXPECT_TRUE(found[0].abilities.readBack);

  const auto board = catalog.find(here);
  board->open();
  board->switchRelay(1, true);
  EXPECT_TRUE(coil(1));
  board->close();
  // The coils the rig file gives: a board that has them is used with them all; a smaller one
  // is refused with its own count.
  EXPECT_EQ(catalog.find(here, 8)->relayCount(), 8);
  const auto small = errorFrom([&] { catalog.find(here, 16); });
  EXPECT_NE(small.reason().find("has 8 relays, the file asks for 16"), std::string::npos)
      << small.what();
  onServer([this] { holdCoils(16); });
  EXPECT_EQ(catalog.find(here, 16)->relayCount(), 16);
  const auto none = errorFrom([&] { catalog.find(elsewhere); });
  EXPECT_EQ(none.kind(), rig::FailureKind::NoDevice);
  EXPECT_NE(none.reason().find("no board answers at address 4"), std::string::npos) << none.what();
}

}  // namespace
