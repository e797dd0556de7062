#include <gtest/gtest.h>

#include <optional>

#include "boards/text/Rig.h"
#include "rig/Captions.h"
#include "rig/Devices.h"
#include "rig/Reconnector.h"
#include "support/Fakes.h"

using namespace fakes;
using rig::DeviceInfo;

namespace {

DeviceInfo usb(std::string path, std::string serialNumber, std::string location = "1-2") {
  DeviceInfo info;
  info.path = std::move(path);
  info.vendorId = "0403";
  info.productId = "6001";
  info.serialNumber = std::move(serialNumber);
  info.location = std::move(location);
  return info;
}

DeviceInfo givenPath(std::string path, bool present = true) {
  DeviceInfo info;
  info.path = std::move(path);
  info.byPath = true;
  info.present = present;
  return info;
}

TEST(SameModule, OnlyTheModuleItselfMatches) {
  const DeviceInfo lost = usb("/dev/ttyUSB0", "A10K1234");
  EXPECT_TRUE(rig::sameModule(lost, usb("/dev/ttyUSB3", "A10K1234", "3-1")))
      << "the same serial number under another name, in another socket";
  EXPECT_FALSE(rig::sameModule(lost, usb("/dev/ttyUSB0", "B20K5678")))
      << "another module that took its name";
  DeviceInfo otherProduct = usb("/dev/ttyUSB1", "A10K1234");
  otherProduct.productId = "6015";
  EXPECT_FALSE(rig::sameModule(lost, otherProduct));

  // Without a serial number the USB socket tells twins apart, and nothing else does.
  const DeviceInfo plain = usb("/dev/ttyACM0", "", "1-2.4");
  EXPECT_TRUE(rig::sameModule(plain, usb("/dev/ttyACM1", "", "1-2.4")));
  EXPECT_FALSE(rig::sameModule(plain, usb("/dev/ttyACM0", "", "1-2.3")));
  EXPECT_FALSE(rig::sameModule(usb("/dev/ttyACM0", "", ""), usb("/dev/ttyACM0", "", "")));

  // A given path is its own identity, whatever device stands behind it.
  const DeviceInfo byId = givenPath("/dev/serial/by-id/usb-relay");
  EXPECT_TRUE(rig::sameModule(byId, givenPath("/dev/serial/by-id/usb-relay")));
  EXPECT_FALSE(rig::sameModule(byId, givenPath("/dev/ttyUSB0")));

  const rig::PortList ports = {givenPath("/dev/serial/by-id/usb-relay", false),
                               usb("/dev/ttyUSB0", "B20K5678"), usb("/dev/ttyUSB1", "A10K1234")};
  EXPECT_EQ(rig::findModule(lost, ports), 3);
  EXPECT_EQ(rig::findModule(byId, ports), std::nullopt) << "listed but not present";
}

class Reconnecting : public ::testing::Test {
 protected:
  using time_point = rig::Clock::time_point;
  time_point at(rig::Clock::duration d) const { return start + d; }

  const time_point start = time_point{} + 1h;
  const DeviceInfo module = usb("/dev/ttyUSB0", "A10K1234");
  const rig::PortList away = {usb("/dev/ttyUSB0", "B20K5678")};
  const rig::PortList back = {usb("/dev/ttyUSB0", "B20K5678"), usb("/dev/ttyUSB1", "A10K1234")};
  rig::Reconnector reconnector;
};

TEST_F(Reconnecting, TriesTheReturnedModuleOneAttemptAtATimeForTwoSeconds) {
  reconnector.lose(module, start);
  EXPECT_FALSE(reconnector.next(away, at(10ms)).attempt) << "another module is never taken";

  auto plan = reconnector.next(back, at(1s));
  EXPECT_EQ(plan.attempt, 2);
  EXPECT_FALSE(reconnector.next(back, at(1s)).attempt) << "an attempt already runs";

  // Retries come later and later, each only when asked at its time, and stop after 2 s.
  int attempts = 1;
  auto now = at(1s);
  for (;;) {
    reconnector.failed(now);
    plan = reconnector.next(back, now);
    if (!plan.wakeAt) break;
    EXPECT_GT(*plan.wakeAt, now);
    EXPECT_FALSE(plan.attempt);
    now = *plan.wakeAt;
    ASSERT_EQ(reconnector.next(back, now).attempt, 2);
    ++attempts;
  }
  EXPECT_GE(attempts, 5);
  EXPECT_LE(now, at(3s));
  EXPECT_FALSE(reconnector.next(back, at(10s)).attempt) << "given up until it comes again";
  EXPECT_TRUE(reconnector.watching());

  // Gone and back: tried afresh.
  reconnector.next(away, at(11s));
  EXPECT_EQ(reconnector.next(back, at(12s)).attempt, 2);
  reconnector.succeeded(at(12s));
  EXPECT_FALSE(reconnector.watching());
  EXPECT_FALSE(reconnector.next(back, at(13s)).attempt);
}

TEST_F(Reconnecting, AFlappingModuleIsHeldOffLongerEachTime) {
  auto now = start;
  rig::Clock::duration lastHold{};
  for (int flap = 0; flap < 6; ++flap) {
    reconnector.lose(module, now);
    const auto plan = reconnector.next(back, now);
    rig::Clock::duration hold{};
    if (!plan.attempt) {
      ASSERT_TRUE(plan.wakeAt);
      hold = *plan.wakeAt - now;
      now = *plan.wakeAt;
      ASSERT_EQ(reconnector.next(back, now).attempt, 2);
    }
    if (flap == 0) {
      EXPECT_EQ(hold, rig::Clock::duration{}) << "the first loss is no flapping";
    } else if (flap >= 2) {
      EXPECT_GT(hold, lastHold) << flap;
    }
    EXPECT_LE(hold, 8s);
    lastHold = hold;
    reconnector.succeeded(now);
    now += 100ms;  // lost again at once
  }
  // A module that stays a while is trusted again.
  reconnector.lose(module, now + 1min);
  EXPECT_EQ(reconnector.next(back, now + 1min).attempt, 2);
}

class ReopenLost : public ::testing::Test {
 protected:
  ReopenLost() {
    serial.ports[1] = {};
    serial.ports[4] = {};
    serial.listed = {givenPath("/dev/a"), givenPath("/dev/b")};
  }
  std::optional<rig::FailureKind> click(const std::string& choice) {
    return rig.openComPort(choice);
  }

  FakeClock clock;
  FakeSerial serial{clock};
  rig::Rig rig{serial, clock};
};

TEST_F(ReopenLost, ReopensWithTheOpeningsStatusAndResetsTheRig) {
  click("1");
  rig.showLost("port 1 (fake1): the device was removed");
  serial.setPortOpen(false);
  EXPECT_EQ(rig.state().link, rig::Link::Lost);
  EXPECT_TRUE(rig.state().actionsEnabled) << "the buttons stay as they are";
  serial.sent.clear();

  serial.ports[4].openError = "Permission denied";
  EXPECT_EQ(rig.reopen(4, givenPath("/dev/new"), "lost"), rig::FailureKind::Other);
  EXPECT_EQ(rig.state().link, rig::Link::Lost);
  EXPECT_EQ(rig::captions::statusTip(rig.state()), "lost; reopening failed: Permission denied");
  EXPECT_TRUE(serial.sent.empty());

  serial.ports[4].openError.clear();
  EXPECT_EQ(rig.reopen(4, givenPath("/dev/new"), "lost"), std::nullopt);
  EXPECT_EQ(rig.state().port, 4);
  EXPECT_EQ(rig.state().link, rig::Link::Opened);
  EXPECT_EQ(rig::captions::statusTip(rig.state()), "fake4 (reconnected)");
  EXPECT_EQ(serial.commands(4), (std::vector<std::string>{"relay off 0", "relay off 1"}));
  EXPECT_GE(serial.sent[1].at - serial.sent[0].at, 500ms);
  EXPECT_EQ(rig.module()->path, "/dev/new");
}

}  // namespace
