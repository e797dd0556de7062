#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QEventLoop>
#include <QFile>
#include <QSerialPort>
#include <QTemporaryDir>
#include <QTimer>
#include <atomic>
#include <chrono>
#include <ctime>
#include <functional>
#include <memory>
#include <thread>

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include "serial/CommControl.h"
#include "support/ErrorFrom.h"
#include "support/Pty.h"

using namespace std::chrono_literals;
using serial::CommControl;
using serial::PortMap;

namespace {

void runEventLoop(std::chrono::milliseconds duration) {
  QEventLoop loop;
  QTimer::singleShot(duration, &loop, &QEventLoop::quit);
  loop.exec();
}

std::chrono::nanoseconds processCpuTime() {
  timespec now{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
  return std::chrono::seconds(now.tv_sec) + std::chrono::nanoseconds(now.tv_nsec);
}

// Calls input() until `expected` bytes have come in or a second has passed.
std::string inputUntil(CommControl& serial, std::size_t expected) {
  std::string received;
  const auto deadline = std::chrono::steady_clock::now() + 1s;
  while (received.size() < expected && std::chrono::steady_clock::now() < deadline) {
    received += serial.input();
    std::this_thread::sleep_for(2ms);
  }
  return received;
}

class CommControlTest : public testing::Test {
 protected:
  Pty pty;
  std::string device = pty.slavePath();
  CommControl serial{PortMap::fromList(QString::fromStdString(device))};
};

TEST_F(CommControlTest, OutputPutsExactlyTheBytesOnTheLineBeforeReturning) {
  EXPECT_EQ(serial.device(), device);
  serial.setPortOpen(true);
  ASSERT_TRUE(serial.portOpen());
  serial.output("relay on 0\r");
  // No event loop runs here: the bytes must already be with the driver.
  EXPECT_EQ(pty.readMaster(500ms, 11), "relay on 0\r");

  serial.output("relay read 1\r");
  serial.output("id get\r");
  EXPECT_EQ(pty.readMaster(500ms, 20), "relay read 1\rid get\r");
}

TEST_F(CommControlTest, InputReturnsWhatHasArrivedWithoutAnEventLoop) {
  serial.setPortOpen(true);
  EXPECT_EQ(serial.input(), "");
  const auto before = std::chrono::steady_clock::now();
  pty.writeMaster("relay read 0\n\r\noff\n\r>");
  EXPECT_EQ(inputUntil(serial, 21), "relay read 0\n\r\noff\n\r>");
  EXPECT_GE(serial.lastReceived(), before);
  EXPECT_LE(serial.lastReceived(), std::chrono::steady_clock::now());
  EXPECT_EQ(serial.input(), "");
}

TEST_F(CommControlTest, BytesTakenInByTheEventLoopMarkTheReceiveTime) {
  serial.setPortOpen(true);
  const auto before = std::chrono::steady_clock::now();
  pty.writeMaster("on\r\n");
  const auto deadline = std::chrono::steady_clock::now() + 1s;
  while (serial.lastReceived() == rig::Clock::time_point{} &&
         std::chrono::steady_clock::now() < deadline)
    runEventLoop(5ms);
  EXPECT_GE(serial.lastReceived(), before);
  EXPECT_EQ(serial.input(), "on\r\n");
}

TEST_F(CommControlTest, ClosingReleasesThePortForTheNextOpening) {
  serial.setPortOpen(true);
  pty.writeMaster("x");
  inputUntil(serial, 1);
  ASSERT_NE(serial.lastReceived(), rig::Clock::time_point{});

  serial.setPortOpen(false);
  EXPECT_FALSE(serial.portOpen());
  serial.setPortOpen(false);  // closing a closed port does nothing

  serial.setPortOpen(true);  // the exclusive hold of the first opening is gone
  EXPECT_TRUE(serial.portOpen());
  EXPECT_EQ(serial.lastReceived(), rig::Clock::time_point{});
  serial.output("id get\r");
  EXPECT_EQ(pty.readMaster(500ms, 7), "id get\r");

  // Another control can have the port once this one lets it go.
  serial.setPortOpen(false);
  CommControl other{PortMap::fromList(QString::fromStdString(device))};
  other.setPortOpen(true);
  EXPECT_TRUE(other.portOpen());
}

TEST_F(CommControlTest, PortNumberMustBeValidAndCannotChangeWhileOpen) {
  for (int bad : {0, -1}) {
    const rig::SerialError error = errorFrom([&] { serial.setPortNumber(bad); });
    EXPECT_EQ(error.port(), bad);
    EXPECT_EQ(error.reason(), "not a valid port number");
    EXPECT_EQ(serial.portNumber(), 1);
  }

  serial.setPortOpen(true);
  const rig::SerialError error = errorFrom([&] { serial.setPortNumber(2); });
  EXPECT_EQ(error.port(), 1);
  EXPECT_EQ(error.device(), device);
  EXPECT_EQ(serial.portNumber(), 1);
  EXPECT_TRUE(serial.portOpen());
}

TEST_F(CommControlTest, OpeningAnOpenPortFailsAndLeavesItOpen) {
  serial.setPortOpen(true);
  const rig::SerialError error = errorFrom([&] { serial.setPortOpen(true); });
  EXPECT_EQ(error.reason(), "the port is already open");
  EXPECT_EQ(error.device(), device);
  EXPECT_TRUE(serial.portOpen());
  serial.output("x");
  EXPECT_EQ(pty.readMaster(500ms, 1), "x");
}

TEST_F(CommControlTest, OutputAndInputFailWhileClosed) {
  rig::SerialError error = errorFrom([&] { serial.output("relay on 0\r"); });
  EXPECT_EQ(error.port(), 1);
  EXPECT_EQ(error.device(), device);
  EXPECT_EQ(error.reason(), "the port is not open");
  error = errorFrom([&] { serial.input(); });
  EXPECT_EQ(error.reason(), "the port is not open");
  EXPECT_EQ(pty.readMaster(100ms, 1), "");
}

TEST(CommControlOpenTest, FailsCleanlyWhenTheNumberOrDeviceIsUnusable) {
  QTemporaryDir dir;
  ASSERT_TRUE(dir.isValid());
  const QString file = dir.filePath("plain-file");
  {
    QFile f(file);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write("not a tty");
  }
  const QString missing = dir.filePath("no-such-device");
  CommControl serial{PortMap::fromList(missing + ",," + file + "," + dir.path())};

  struct Case {
    int port;
    std::string reasonPart;
  };
  for (const Case& c : {Case{1, "No such file or directory"},
                        Case{2, "no device for this port number"}, Case{3, "not a serial port"},
                        Case{4, "Is a directory"}, Case{5, "no device for this port number"}}) {
    SCOPED_TRACE(c.port);
    serial.setPortNumber(c.port);
    const rig::SerialError error = errorFrom([&] { serial.setPortOpen(true); });
    EXPECT_EQ(error.port(), c.port);
    EXPECT_EQ(error.device(), serial.device());
    EXPECT_NE(error.reason().find(c.reasonPart), std::string::npos) << error.reason();
    EXPECT_FALSE(serial.portOpen());
  }
}

TEST_F(CommControlTest, APortHasOneOwnerWhateverPathNamesIt) {
  QTemporaryDir dir;
  const QString node = QString::fromStdString(device);
  const QString link = dir.filePath(QStringLiteral("by-id-link"));
  const QString link2 = dir.filePath(QStringLiteral("another-link"));
  ASSERT_TRUE(QFile::link(node, link) && QFile::link(node, link2));

  for (const auto& [holderPath, otherPath] : {std::pair{node, node}, std::pair{node, link},
                                              std::pair{link, node}, std::pair{link, link2}}) {
    SCOPED_TRACE((holderPath + QStringLiteral(" then ") + otherPath).toStdString());
    CommControl holder{PortMap(QStringList{holderPath})};
    holder.setPortOpen(true);
    CommControl other{PortMap(QStringList{otherPath})};
    const rig::SerialError error = errorFrom([&] { other.setPortOpen(true); });
    EXPECT_EQ(error.reason(), "Device or resource busy (in use by another program)");
    EXPECT_EQ(error.kind(), rig::FailureKind::Busy);
    // Another program honouring the usual serial lock, opening the device by its own name.
    QSerialPort plain(node);
    EXPECT_FALSE(plain.open(QIODevice::ReadWrite));
    // The holder is not disturbed, and once it lets go the device is free again.
    holder.output("x");
    EXPECT_EQ(pty.readMaster(500ms, 1), "x");
    holder.setPortOpen(false);
    other.setPortOpen(true);
  }
}

TEST_F(CommControlTest, AFloodNeverFillsTheReceiveBufferBeyondItsBoundAndLosesNothing) {
  serial.setPortOpen(true);
  std::string flood(1 << 20, '\0');
  for (std::size_t i = 0; i < flood.size(); ++i) flood[i] = static_cast<char>('a' + i % 26);

  std::atomic<bool> stop{false};
  std::thread writer([&] {
    std::size_t done = 0;
    const auto deadline = std::chrono::steady_clock::now() + 30s;
    while (done < flood.size() && !stop && std::chrono::steady_clock::now() < deadline) {
      const ssize_t n = write(pty.masterFd(), flood.data() + done, flood.size() - done);
      if (n > 0) {
        done += static_cast<std::size_t>(n);
      } else {
        pollfd fd{pty.masterFd(), POLLOUT, 0};
        poll(&fd, 1, 20);
      }
    }
  });

  // With the event loop free to read, the port takes in at most its bound.
  runEventLoop(300ms);
  std::string received = serial.input();
  EXPECT_GT(received.size(), 0u);
  EXPECT_LE(received.size(), 1024u);

  const auto deadline = std::chrono::steady_clock::now() + 30s;
  std::size_t largest = received.size();
  int rounds = 0;
  while (received.size() < flood.size() && std::chrono::steady_clock::now() < deadline) {
    const std::string chunk = serial.input();
    largest = std::max(largest, chunk.size());
    received += chunk;
    if (++rounds % 64 == 0) runEventLoop(1ms);
  }
  stop = true;
  writer.join();
  EXPECT_LE(largest, 1024u);
  ASSERT_EQ(received.size(), flood.size());
  EXPECT_TRUE(received == flood) << "bytes were lost or reordered";
}

TEST_F(CommControlTest, DeviceGoneClosesThePortOnceWithoutSpinning) {
  serial.setPortOpen(true);
  int lost = 0;
  QString message;
  // Told through the serial interface, as the rig service hears it.
  static_cast<rig::SerialControl&>(serial).setLossHandler([&](const std::string& text) {
    ++lost;
    message = QString::fromStdString(text);
  });

  pty.closeMaster();
  const auto cpuBefore = processCpuTime();
  runEventLoop(200ms);
  const auto cpuUsed = processCpuTime() - cpuBefore;

  EXPECT_EQ(lost, 1);
  EXPECT_FALSE(serial.portOpen());
  EXPECT_LT(cpuUsed, 50ms) << "the event loop spun after the device went away";
  EXPECT_TRUE(message.contains(QString::fromStdString(device))) << message.toStdString();

  const rig::SerialError error = errorFrom([&] { serial.output("relay on 0\r"); });
  EXPECT_EQ(error.reason().rfind("the port was closed: ", 0), 0u) << error.reason();
  EXPECT_GT(error.reason().size(), std::string("the port was closed: ").size());
  EXPECT_EQ(errorFrom([&] { serial.input(); }).reason(), error.reason());

  serial.setPortOpen(false);  // already closed: nothing happens
  runEventLoop(20ms);
  EXPECT_EQ(lost, 1);
}

TEST_F(CommControlTest, DeviceGoneIsNoticedByOutputAndInputWithoutAnEventLoop) {
  for (const bool viaOutput : {true, false}) {
    SCOPED_TRACE(viaOutput ? "output" : "input");
    Pty line;
    CommControl control{PortMap::fromList(QString::fromStdString(line.slavePath()))};
    int lost = 0;
    QObject::connect(&control, &CommControl::linkLost, [&] { ++lost; });
    control.setPortOpen(true);
    line.closeMaster();

    const rig::SerialError error = errorFrom([&] {
      if (viaOutput) {
        control.output("relay on 0\r");
      } else {
        control.input();
      }
    });
    EXPECT_EQ(error.reason().rfind("the port was closed: ", 0), 0u) << error.reason();
    EXPECT_FALSE(control.portOpen());
    runEventLoop(50ms);
    EXPECT_EQ(lost, 1);
  }
}

}  // namespace
