#include <gtest/gtest.h>

#include <unistd.h>
#include <filesystem>
#include <fstream>

#include "boards/text/Rig.h"
#include "boards/text/TextBoard.h"
#include "boards/text/TextDiscovery.h"
#include "rig/Arming.h"
#include "rig/Protocol.h"
#include "support/Fakes.h"

using namespace fakes;
using rig::FailureKind;

namespace {

using Texts = std::vector<std::string>;

rig::DeviceInfo deviceAt(const std::string& path) {
  rig::DeviceInfo device;
  device.path = path;
  return device;
}

// The board on port 1 of a fake module with `relays` relays, opened.
class TextBoardTest : public ::testing::Test {
 protected:
  void openWith(int relays) {
    serial.relays = relays;
    serial.ports[1] = {};
    board.open();
  }
  // Every byte that went on the line since the last look, command by command.
  Texts lineBytes() {
    Texts bytes;
    for (const Sent& s : serial.sent) bytes.push_back(s.bytes);
    serial.sent.clear();
    return bytes;
  }

  FakeClock clock;
  FakeSerial serial{clock};
  rig::TextBoard board{serial, clock};
};

TEST_F(TextBoardTest, TwoRelayModuleGetsThePanelsBytesAndReadallOnlyToSwitchSeveral) {
  openWith(2);
  std::vector<std::string> replies;
  board.setReplyObserver([&](const std::string& reply) { replies.push_back(reply); });

  // One relay at a time: one command each, whether asked alone or as a mask of one.
  board.switchRelay(1, true);
  board.switchRelays(0b01, 0b01);
  board.switchRelays(0b10, 0b00);
  EXPECT_EQ(lineBytes(), (Texts{"relay on 1\r", "relay on 0\r", "relay off 1\r"}));
  EXPECT_TRUE(board.readRelay(0));
  EXPECT_FALSE(board.readRelay(1));
  EXPECT_EQ(lineBytes(), (Texts{"relay read 0\r", "relay read 1\r"}));
  EXPECT_EQ(replies, (Texts{"relay read 0\r\non\r\n>", "relay read 1\r\noff\r\n>"}));
  EXPECT_EQ(board.relayCount(), 2);
  EXPECT_FALSE(board.learned());

  // Several at once: asked once whether it has "relay readall"; it has not, so one after another
  // from the lowest relay, and never asked again.
  board.switchRelays(0b11, 0b10);
  EXPECT_EQ(lineBytes(), (Texts{"relay readall\r", "relay off 0\r", "relay on 1\r"}));
  EXPECT_TRUE(board.learned());
  EXPECT_EQ(board.relayCount(), 2);
  EXPECT_FALSE(board.abilities().switchMany);
  EXPECT_TRUE(board.abilities().readBack);
  board.switchRelays(0b11, 0b11);
  EXPECT_EQ(lineBytes(), (Texts{"relay on 0\r", "relay on 1\r"}));
  EXPECT_EQ(board.readRelays(), 0b11U);
  EXPECT_EQ(lineBytes(), (Texts{"relay read 0\r", "relay read 1\r"}));

  // An armed switch starts as early as its command takes on the line: 11 bytes at 9600 baud.
  EXPECT_EQ(board.switchLead(1, true), rig::wireTime(11));
  EXPECT_EQ(board.name(), (rig::BoardName{"text", "fake1"}));
}

TEST_F(TextBoardTest, WideModuleSwitchesSeveralWithOneWriteallKeepingTheOthers) {
  openWith(8);
  serial.relay[7] = true;
  serial.relay[2] = true;

  EXPECT_EQ(board.readRelays(), 0x84U);
  EXPECT_EQ(lineBytes(), (Texts{"relay readall\r"}));
  EXPECT_EQ(board.relayCount(), 8);
  EXPECT_TRUE(board.abilities().switchMany);

  // Relays 0 and 1 on, 2 off; 7 as it was.
  board.switchRelays(0b0111, 0b0011);
  EXPECT_EQ(lineBytes(), (Texts{"relay readall\r", "relay writeall 83\r"}));
  for (int n = 0; n < 8; ++n) EXPECT_EQ(serial.relay[n], n == 0 || n == 1 || n == 7) << n;

  // One relay alone is still its own command.
  board.switchRelays(0b1000'0000, 0);
  board.switchRelay(5, true);
  EXPECT_EQ(lineBytes(), (Texts{"relay off 7\r", "relay on 5\r"}));
}

TEST_F(TextBoardTest, PreparedSeveralGoAsTheWriteallAloneUnlessTheReadingIsStale) {
  openWith(8);
  serial.relay[7] = true;
  board.prepareSwitch(0b0001, 0b0001);
  EXPECT_TRUE(lineBytes().empty()) << "one relay has nothing to prepare";

  // Read ahead, so at the switch only the writeall goes, and the lead is its time on the line.
  board.prepareSwitch(0b0011, 0b0011);
  EXPECT_EQ(lineBytes(), (Texts{"relay readall\r"}));
  EXPECT_EQ(board.groupLead(0b0011, 0b0011), rig::wireTime(18));
  board.switchRelays(0b0011, 0b0011);
  EXPECT_EQ(lineBytes(), (Texts{"relay writeall 83\r"}));

  // Kept as its own commands set the relays: the next switch of several, a relay switched
  // alone between, need no reading (it would take the line when the switch is due).
  board.switchRelays(0b0011, 0);
  board.switchRelay(4, true);
  board.switchRelays(0b0011, 0b0011);
  EXPECT_EQ(lineBytes(), (Texts{"relay writeall 80\r", "relay on 4\r", "relay writeall 93\r"}));

  // Any other command makes it stale (the relay switched on here is kept), and so does time
  // since the reading: the module may have been switched off and on.
  EXPECT_TRUE(board.readRelay(4));
  board.switchRelays(0b0011, 0b0011);
  EXPECT_EQ(lineBytes(), (Texts{"relay read 4\r", "relay readall\r", "relay writeall 93\r"}));
  board.prepareSwitch(0b0011, 0);
  EXPECT_TRUE(lineBytes().empty()) << "kept from a reading young enough";
  serial.relay[4] = serial.relay[7] = false;  // the module restarted meanwhile
  clock.waitUntil(clock.now() + 2s);
  board.switchRelays(0b0011, 0);
  EXPECT_EQ(lineBytes(), (Texts{"relay readall\r", "relay writeall 00\r"}));
  clock.waitUntil(clock.now() + 900ms);
  board.prepareSwitch(0b0011, 0);
  EXPECT_EQ(lineBytes(), (Texts{"relay readall\r"})) << "too old to last until the switch";
}

TEST_F(TextBoardTest, RelaysBeyondNineAreLettersAndTheMaskWidthGivesTheCount) {
  openWith(32);
  board.switchRelay(12, true);
  board.switchRelay(31, true);
  EXPECT_TRUE(board.readRelay(12));
  EXPECT_EQ(lineBytes(), (Texts{"relay on C\r", "relay on V\r", "relay read C\r"}));

  board.switchRelays(0xffff'ffffU, 0x0000'0001U);
  EXPECT_EQ(lineBytes(), (Texts{"relay readall\r", "relay writeall 00000001\r"}));
  EXPECT_EQ(board.relayCount(), 32);
  EXPECT_THROW(rig::protocol::relayDigit(32), std::out_of_range);
}

TEST_F(TextBoardTest, ReadallReplyThatIsNoAnswerFailsAndTeachesNothing) {
  openWith(8);
  // A mask cut short, and a reply that is another command's: the failure, not a guess.
  serial.arrive(std::chrono::milliseconds(30), "relay readall\r\n0");
  serial.ports[1].answers = false;
  try {
    board.readRelays();
    FAIL() << "a reply cut short was taken";
  } catch (const rig::SerialError& error) {
    EXPECT_EQ(error.kind(), FailureKind::NoAnswer) << error.what();
  }
  EXPECT_FALSE(board.learned());

  serial.arrive(std::chrono::milliseconds(30), "relay readall\r\n00\r\n>");
  EXPECT_EQ(board.readRelays(), 0U);
  EXPECT_TRUE(board.learned());
  EXPECT_EQ(board.relayCount(), 8);

  rig::protocol::AllRelays all;
  EXPECT_EQ(rig::protocol::readAll("relay readallx\r\n0F\r\n>", all),
            rig::protocol::AllReading::NotAnAnswer);
  EXPECT_EQ(rig::protocol::readAll("relay readall\r\nERROR\r\n>", all),
            rig::protocol::AllReading::Refused);
}

// The resolution of board names over the listed ports: modules with identities on three ports.
class BoardNames : public ::testing::Test {
 protected:
  BoardNames() {
    for (int port = 1; port <= 3; ++port) {
      serial.ports[port] = {};
      serial.listed.push_back(deviceAt("/dev/fake" + std::to_string(port)));
    }
    serial.ports[1].identification = "RIG01";
    serial.ports[2].identification = "RIG02";
    serial.ports[3].identification = "KOVRA 78";
  }
  rig::ResolvedPort resolve(const std::string& name) {
    const auto parsed = rig::parseBoardName(name);
    if (!parsed) throw std::invalid_argument(name);
    return rig::resolveTextBoard(*parsed, serial, clock);
  }

  FakeClock clock;
  FakeSerial serial{clock};
};

TEST_F(BoardNames, IdentityAndPathNameTheirPort) {
  EXPECT_EQ(resolve("text-id:RIG02").port, 2);
  EXPECT_FALSE(serial.portOpen());
  // Each port's line was cleared with a lone carriage return, then asked once, nothing else.
  EXPECT_EQ(serial.commands(), (Texts{"", "id get", "", "id get", "", "id get"}));
  EXPECT_EQ(resolve("text-id:KOVRA 78").device.path, "/dev/fake3");

  serial.sent.clear();
  EXPECT_EQ(resolve("text:/dev/fake2").port, 2);
  EXPECT_TRUE(serial.sent.empty()) << "a path is resolved without asking the line";

  for (const char* missing : {"text-id:RIG09", "text-id:RIG0", "text:/dev/fake9"}) {
    try {
      resolve(missing);
      FAIL() << missing;
    } catch (const rig::SerialError& error) {
      EXPECT_EQ(error.kind(), FailureKind::NoDevice) << missing;
    }
  }
}

TEST_F(BoardNames, TwoBoardsClaimingOneIdentityIsAnErrorNamingBoth) {
  serial.ports[3].identification = "RIG02";
  try {
    resolve("text-id:RIG02");
    FAIL() << "one of two boards was guessed";
  } catch (const rig::SerialError& error) {
    EXPECT_EQ(error.kind(), FailureKind::Ambiguous);
    EXPECT_EQ(rig::kindName(error.kind()), std::string("ambiguous"));
    EXPECT_EQ(error.reason(),
              "two boards answer \"id get\" with \"RIG02\": port 2 (/dev/fake2) and port 3 "
              "(/dev/fake3); name the one meant by its device (text:<path>)");
  }
  // Named by its device, either one is found.
  EXPECT_EQ(resolve("text:/dev/fake3").port, 3);
}

TEST_F(BoardNames, ALinkNamesTheDeviceItPointsAtAndOneDeviceListedTwiceIsOneBoard) {
  namespace fs = std::filesystem;
  const fs::path dir = fs::temp_directory_path() / ("board-names-" + std::to_string(::getpid()));
  fs::create_directories(dir / "by-id");
  std::ofstream(dir / "ttyACM0").put('\n');
  fs::create_symlink(dir / "ttyACM0", dir / "by-id" / "usb-relay-if00");
  serial.listed = {deviceAt((dir / "ttyACM0").string()),
                   deviceAt((dir / "by-id" / "usb-relay-if00").string()), deviceAt("/dev/fake3")};
  serial.ports[1].identification = "RIG05";
  serial.ports[2].identification = "RIG05";

  EXPECT_EQ(resolve("text:" + (dir / "by-id" / "usb-relay-if00").string()).port, 1);
  EXPECT_EQ(resolve("text-id:RIG05").port, 1);
  fs::remove_all(dir);
}

// A board of another kind, as its driver would be: every call noted.
class NotedBoard : public rig::Board {
 public:
  rig::BoardName name() const override { return {"hid", "QM7YK"}; }
  int relayCount() const override { return 4; }
  rig::BoardAbilities abilities() const override { return {true, true, false}; }
  void open() override {
    calls.push_back("open");
    if (!openError.empty()) {
      throw rig::SerialError(rig::Failure{rig::FailureKind::Busy, std::nullopt, {}, openError});
    }
    open_ = true;
  }
  void close() override {
    calls.push_back("close");
    open_ = false;
  }
  bool isOpen() const override { return open_; }
  void switchRelay(int relay, bool on) override {
    calls.push_back((on ? "on " : "off ") + std::to_string(relay));
    relays[relay] = on;
  }
  void switchRelays(rig::RelayMask, rig::RelayMask) override { calls.push_back("many"); }
  rig::RelayMask readRelays() override { return 0; }
  bool readRelay(int relay) override {
    calls.push_back("read " + std::to_string(relay));
    return relays[relay];
  }

  std::vector<std::string> calls;
  bool relays[4] = {};
  std::string openError;

 private:
  bool open_ = false;
};

TEST(RigOnAnotherBoard, OpensResetsAndActsThroughTheBoardAndTheTextOpeningTakesTheLineBack) {
  FakeClock clock;
  FakeSerial serial{clock};
  serial.ports[1] = {};
  rig::Rig rig{serial, clock};
  NotedBoard board;
  board.relays[0] = true;

  EXPECT_EQ(rig.openBoard(board), std::nullopt);
  EXPECT_EQ(board.calls, (Texts{"open", "off 0", "off 1"}));
  EXPECT_EQ(rig.state().link, rig::Link::Opened);
  EXPECT_EQ(rig.state().device, "hid:QM7YK");
  EXPECT_TRUE(rig.state().open);
  EXPECT_EQ(rig.state().shutter, rig::Shutter::ClosedByReset);

  board.calls.clear();
  rig.toggleFlash();
  rig.pulseShutter();
  EXPECT_EQ(board.calls, (Texts{"read 0", "on 0", "read 1", "on 1", "off 1"}));
  EXPECT_EQ(rig.state().flash, rig::Flash::On);
  EXPECT_TRUE(serial.sent.empty()) << "the serial line was used for another board";

  // Back to the text module: the other board is closed, the line reset.
  board.calls.clear();
  EXPECT_EQ(rig.openComPort("1"), std::nullopt);
  EXPECT_EQ(board.calls, (Texts{"close"}));
  EXPECT_EQ(serial.commands(), (Texts{"relay off 0", "relay off 1"}));
  EXPECT_EQ(rig.state().device, "fake1");

  // A board that does not open is not found, with its reason and kind.
  board.openError = "held by another program";
  EXPECT_EQ(rig.openBoard(board), rig::FailureKind::Busy);
  EXPECT_EQ(rig.state().link, rig::Link::NotFound);
  EXPECT_EQ(rig.state().reason, "held by another program");
  EXPECT_FALSE(serial.portOpen());
}

}  // namespace
