#include <gtest/gtest.h>

#include <QProcess>
#include <QString>
#include <QStringList>
#include <chrono>
#include <string>
#include <vector>

#include "boards/text/TextBoard.h"
#include "rig/SystemClock.h"
#include "serial/CommControl.h"

using namespace std::chrono_literals;

namespace {

using Texts = std::vector<std::string>;

// relay-sim with the given options, and the text board on its terminal through the real serial
// control, opened as port 1.
class TextBoardOnPty : public testing::Test {
 protected:
  void start(const QStringList& options) {
    sim.start(QStringLiteral(RELAY_SIM_PATH), options);
    ASSERT_TRUE(sim.waitForStarted(5000));
    const std::string first = line();
    const std::string prefix = "relay-sim: module on ";
    ASSERT_EQ(first.rfind(prefix, 0), 0U) << first;
    serial = std::make_unique<serial::CommControl>(
        serial::PortMap::fromList(QString::fromStdString(first.substr(prefix.size()))));
    board = std::make_unique<rig::TextBoard>(*serial, clock);
    board->open();
  }
  ~TextBoardOnPty() override {
    board.reset();
    serial.reset();
    sim.kill();
    sim.waitForFinished(5000);
  }

  // One line the simulator printed, without its end; empty after two seconds without one.
  std::string line() {
    while (!sim.canReadLine()) {
      if (!sim.waitForReadyRead(2000)) return {};
    }
    return sim.readLine().trimmed().toStdString();
  }
  // The next `count` commands the module logged ("<seconds> <command>": the command only).
  Texts commands(std::size_t count) {
    Texts texts;
    for (std::size_t i = 0; i < count; ++i) {
      const std::string logged = line();
      texts.push_back(logged.substr(logged.find(' ') + 1));
    }
    return texts;
  }

  QProcess sim;
  rig::SystemClock clock;
  std::unique_ptr<serial::CommControl> serial;
  std::unique_ptr<rig::TextBoard> board;
};

TEST_F(TextBoardOnPty, EightRelayModuleReadsAndSwitchesAllAtOnce) {
  start({"--relays", "8", "--id", "RIG08"});
  EXPECT_EQ(board->readRelays(), 0U);
  EXPECT_EQ(board->relayCount(), 8);
  EXPECT_TRUE(board->abilities().switchMany);

  board->switchRelay(6, true);
  board->switchRelays(0b0000'0111, 0b0000'0101);
  EXPECT_EQ(board->readRelays(), 0b0100'0101U);
  EXPECT_FALSE(board->readRelay(1));
  EXPECT_TRUE(board->readRelay(6));
  EXPECT_EQ(commands(7), (Texts{"relay readall", "relay on 6", "relay readall", "relay writeall 45",
                                "relay readall", "relay read 1", "relay read 6"}));
}

TEST_F(TextBoardOnPty, TwoRelayModuleSwitchesSeveralOneAfterAnother) {
  start({});
  board->switchRelays(0b11, 0b11);
  EXPECT_FALSE(board->abilities().switchMany);
  EXPECT_EQ(board->readRelays(), 0b11U);
  EXPECT_EQ(commands(5),
            (Texts{"relay readall", "relay on 0", "relay on 1", "relay read 0", "relay read 1"}));
}

}  // namespace
