#include <gtest/gtest.h>

#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>
#include <chrono>
#include <string>
#include <vector>

#include "boards/modbus/ModbusBoard.h"
#include "rig/RoleRig.h"
#include "rig/SystemClock.h"
#include "sim/ModbusModule.h"
#include "support/ErrorFrom.h"

using namespace std::chrono_literals;

namespace {

modbus::ModbusBoard driverOn(const std::string& port, int slave, int relays) {
  modbus::ModbusBoard::Options options;
  options.relays = relays;
  options.timeout = 300ms;
  options.retries = 0;
  return {port, slave, options};
}

std::vector<std::string> texts(const std::vector<sim::CoilChange>& changes) {
  std::vector<std::string> out;
  out.reserve(changes.size());
  for (const auto& change : changes) out.push_back(change.text());
  return out;
}

// The Modbus driver against the simulated board, through its terminal link.
TEST(ModbusModule, TheDriverSwitchesReadsBackAndSwitchesAllAtOnce) {
  sim::ModbusModule module({8, 3, false});
  auto board = driverOn(module.devicePath(), 3, 8);
  board.open();
  EXPECT_EQ(board.readRelays(), 0U);

  board.switchRelay(2, true);
  board.switchRelay(2, true);  // already on: a write, but no change
  board.switchRelay(5, true);
  board.switchRelay(2, false);
  ASSERT_TRUE(module.waitForChanges(3, 2000ms));
  EXPECT_EQ(texts(module.log()),
            (std::vector<std::string>{"coil 2 on", "coil 5 on", "coil 2 off"}));
  EXPECT_TRUE(module.coil(5));
  EXPECT_EQ(board.readRelays(), 0b100000U);

  // Eight coils in one request: every change carries the one request's time.
  board.switchRelays(0xFF, 0xFF);
  ASSERT_TRUE(module.waitForChanges(10, 2000ms));
  const auto all = module.logSince(3);
  ASSERT_EQ(all.size(), 7U) << "coil 5 was on already";
  for (const auto& change : all) {
    EXPECT_TRUE(change.on);
    EXPECT_EQ(change.at, all.front().at);
  }
  EXPECT_EQ(board.readRelays(), 0xFFU);

  // Another slave address is not this board's, and coils it has not are refused.
  auto stranger = driverOn(module.devicePath(), 4, 8);
  board.close();
  EXPECT_EQ(errorFrom([&] { stranger.open(); }).kind(), rig::FailureKind::NoAnswer);
  auto wider = driverOn(module.devicePath(), 3, 9);
  EXPECT_EQ(errorFrom([&] { wider.open(); }).kind(), rig::FailureKind::NotUnderstood);
  EXPECT_THROW(sim::ModbusModule({33, 1, false}), std::invalid_argument);
  EXPECT_THROW(sim::ModbusModule({8, 248, false}), std::invalid_argument);
}

// Paced, a request takes its bytes' time on a 9600 baud line to reach the board: a single-coil
// write is 8 bytes.
TEST(ModbusModule, APacedLinkCarriesEachByteAtTheLinesPace) {
  sim::ModbusModule module({2, 1, true});
  auto board = driverOn(module.devicePath(), 1, 2);
  board.open();
  const auto asked = std::chrono::steady_clock::now();
  board.switchRelay(1, true);
  ASSERT_TRUE(module.waitForChanges(1, 2000ms));
  EXPECT_GE(module.log().at(0).at - asked, 8 * sim::TerminalLink::kByteTime);
}

// relay-sim plays the board in a process of its own and prints each coil that changes.
TEST(ModbusModule, RelaySimPlaysTheBoardAtItsAddressAndPrintsCoilChanges) {
  QTemporaryDir dir;
  const QString link = dir.filePath(QStringLiteral("board"));
  QProcess sim;
  sim.start(QStringLiteral(RELAY_SIM_PATH),
            {QStringLiteral("--kind"), QStringLiteral("modbus"), QStringLiteral("--relays"),
             QStringLiteral("4"), QStringLiteral("--address"), QStringLiteral("7"),
             QStringLiteral("--link"), link});
  ASSERT_TRUE(sim.waitForStarted(5000));
  auto line = [&sim] {
    while (!sim.canReadLine()) {
      if (!sim.waitForReadyRead(3000)) return std::string();
    }
    return sim.readLine().trimmed().toStdString();
  };
  EXPECT_EQ(line().rfind("relay-sim: board on /dev/", 0), 0U);
  {
    auto board = driverOn(link.toStdString(), 7, 4);
    board.open();
    board.switchRelays(0b1010, 0b1010);
    EXPECT_EQ(board.readRelays(), 0b1010U);
  }
  for (const char* expected : {" coil 1 on", " coil 3 on"}) {
    const std::string printed = line();
    EXPECT_NE(printed.find(expected), std::string::npos) << printed;
  }
  sim.terminate();
  ASSERT_TRUE(sim.waitForFinished(5000));
  EXPECT_EQ(sim.exitCode(), 0);
  EXPECT_FALSE(QFileInfo::exists(link)) << "link left behind";
}

// Camera a's shutter and focus are coils 0 and 8 of 16, one request over a span with a gap, so
// the board reads its coils before it writes them; camera b's shutter is coil 1, 30 ms later.
class ModbusRigTest : public ::testing::Test {
 protected:
  ModbusRigTest() {
    board.open();
    description.boards = {{"m", std::nullopt, 16}};
    description.cameras = {{"a", {"m", 0}, rig::RelayLine{"m", 8}, {}},
                           {"b", {"m", 1}, std::nullopt, 30ms}};
  }

  sim::ModbusModule module{{16, 1, true}};  // at the pace of a 9600 baud line
  modbus::ModbusBoard board = driverOn(module.devicePath(), 1, 16);
  rig::RigDescription description;
  rig::SystemClock clock;
};

// Each command lands on the board at its moment: late by the client's own rounding at most,
// never early, the reading before a gapped group's write counted in its lead.
TEST_F(ModbusRigTest, AGroupWithAGapLandsAtItsMomentNeverEarly) {
  rig::RoleRig roles(description, {{"m", &board}}, clock);
  rig::Timings timings = roles.timings();
  timings.pulse = 200ms;
  // The aim on both clocks, read together.
  const auto steadyAt = std::chrono::steady_clock::now() + 500ms;
  timings.armed = rig::Arming{std::chrono::system_clock::now() + 500ms, {}, {}};
  roles.shutter({}, timings);
  ASSERT_TRUE(module.waitForChanges(6, 2000ms));
  for (const sim::CoilChange& change : module.log()) {
    const auto moment = steadyAt + (change.coil == 1 ? 30ms : 0ms) + (change.on ? 0ms : 200ms);
    const double late = std::chrono::duration<double, std::milli>(change.at - moment).count();
    EXPECT_GE(late, -0.05) << change.text();
    EXPECT_LT(late, 25.0) << change.text();
  }
}

// A pulse that puts camera a's release (its reading and write) before camera b's shutter has
// landed is refused in the opening's words, nothing switched; camera a alone fires with it.
TEST_F(ModbusRigTest, APulseThatCrowdsTheBoardsCommandsIsRefusedBeforeAnySwitch) {
  rig::RoleRig roles(description, {{"m", &board}}, clock);
  roles.checkMoments();  // the description's own pulse leaves room
  rig::Timings timings = roles.timings();
  timings.pulse = 50ms;
  const rig::SerialError refused = errorFrom([&] { roles.shutter({}, timings); });
  EXPECT_EQ(refused.kind(), rig::FailureKind::BadRequest);
  EXPECT_TRUE(refused.reason().starts_with(
      "board m (modbus:" + module.devicePath() +
      "@1) cannot switch camera b's shutter and the release of camera a's shutter 20.5 ms "
      "apart: its command takes "))
      << refused.reason();
  EXPECT_TRUE(module.log().empty());
  roles.shutter({"a"}, timings);
  EXPECT_TRUE(module.waitForChanges(4, 2000ms));
}

}  // namespace
