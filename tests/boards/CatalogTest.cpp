#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <typeinfo>
#include <vector>

#include "boards/Catalog.h"
#include "boards/ch340/Ch340Board.h"
#include "boards/text/TextBoard.h"
#include "sim/Ch340Module.h"
#include "sim/HidRelayModule.h"
#include "sim/RelayModule.h"
#include "support/ErrorFrom.h"

using namespace std::chrono_literals;

namespace {

sim::Options module(const std::string& id, int relays = 2) {
  sim::Options options;
  options.identification = id;
  options.relays = relays;
  return options;
}

// The catalog over simulated boards: text modules and a CH340 board on pseudo-terminals (the
// CH340 one listed with the chip's USB id, as the system lists a real one) and HID boards on the
// stand-in bus.
class CatalogTest : public ::testing::Test {
 protected:
  boards::Catalog catalog() {
    boards::Catalog::Parts parts;
    parts.ports = [this] { return ports; };
    parts.hid = bus;
    parts.ch340Relays = 4;
    parts.modbus = modbus;
    return boards::Catalog(parts);
  }
  void addText(const sim::RelayModule& m) { ports.push_back({m.devicePath(), {}, {}, {}}); }
  sim::HidRelayModule& addHid(const std::string& path, const std::string& id) {
    auto& board = bus->boards[path];
    board.id = id;
    return board;
  }

  std::vector<boards::SerialPort> ports;
  std::shared_ptr<sim::HidRelayBus> bus = std::make_shared<sim::HidRelayBus>();
  std::vector<rig::BoardName> modbus;
};

TEST_F(CatalogTest, ListsEveryKindWithItsNameRelaysAbilitiesAndPath) {
  sim::RelayModule wide(module("RIG08", 8));
  sim::RelayModule narrow(module("RIG02"));
  sim::Ch340Module ch340(4);
  addText(wide);
  addText(narrow);
  ports.push_back({ch340.devicePath(), "/dev/serial/by-id/usb-1a86_USB_Serial-if00-port0",
                   boards::kCh340Vendor, boards::kCh340Product});
  addHid("/dev/hidraw0", "QM7YK");
  modbus.push_back({"modbus", "/nonexistent/ttyUSB9@3"});  // configured, not there: not listed

  const std::vector<rig::FoundBoard> found = catalog().list().boards;
  ASSERT_EQ(found.size(), 4U);
  EXPECT_EQ(found[0].name.text(), "text-id:RIG08");
  EXPECT_EQ(found[0].relays, 8);
  EXPECT_TRUE(found[0].abilities.switchMany);
  EXPECT_EQ(found[0].path, wide.devicePath());
  EXPECT_EQ(found[1].name.text(), "text-id:RIG02");
  EXPECT_EQ(found[1].relays, 2);
  EXPECT_FALSE(found[1].abilities.switchMany);
  // The CH340 board never answers "id get": it is the chip's board, by its stable link.
  EXPECT_EQ(found[2].name.text(), "ch340:/dev/serial/by-id/usb-1a86_USB_Serial-if00-port0");
  EXPECT_EQ(found[2].relays, 4);
  EXPECT_FALSE(found[2].abilities.readBack);
  EXPECT_EQ(found[3].name.text(), "hid:QM7YK");
  EXPECT_TRUE(found[3].abilities.settableId);
  EXPECT_EQ(found[3].path, "/dev/hidraw0");
  // Only "id get" and "relay readall" were asked: nothing was switched.
  for (const auto& command : wide.log()) EXPECT_NE(command.text.find("relay o"), 0U);
}

TEST_F(CatalogTest, FindsBoardsByIdentityAndTheyWork) {
  sim::RelayModule text(module("RIG02"));
  sim::Ch340Module ch340(4);
  addText(text);
  auto cat = catalog();

  const auto byId = cat.find({"text-id", "RIG02"});
  byId->open();
  byId->switchRelay(1, true);
  EXPECT_TRUE(byId->readRelay(1));
  EXPECT_EQ(byId->name().text(), "text-id:RIG02");

  // A CH340 board by its path: a device the system does not list is still that device.
  const auto board = cat.find({"ch340", ch340.devicePath()});
  board->open();
  board->switchRelay(2, true);
  ASSERT_TRUE(ch340.waitForFrames(5, 2000ms));
  EXPECT_TRUE(ch340.relay(2));

  addHid("/dev/hidraw3", "CAM01");
  const auto hid = cat.find({"hid", "CAM01"});
  hid->open();
  hid->switchRelay(0, true);
  EXPECT_EQ(bus->boards["/dev/hidraw3"].state, 1);
}

// A text module found by name is the text board whole: what the rig engine asks of a board
// (reading ahead, its leads, the two-halved switch, the look for an unplug) is the board's own,
// not a default some wrapper left in place.
TEST_F(CatalogTest, ATextModuleFoundByNameIsTheWholeTextBoard) {
  auto wide = std::make_unique<sim::RelayModule>(module("RIG08", 8));
  addText(*wide);
  const auto board = catalog().find({"text-id", "RIG08"});
  const rig::Board& found = *board;
  EXPECT_EQ(typeid(found), typeid(rig::TextBoard)) << "the family's own driver, no wrapper";
  board->open();
  EXPECT_EQ(board->readRelays(), 0U);
  EXPECT_EQ(board->relayCount(), 8);
  EXPECT_TRUE(board->abilities().switchMany);
  // Several relays go as one "relay writeall 03": longer on the line than one relay's command.
  EXPECT_GT(board->groupLead(0b11, 0b11), board->switchLead(0, true));

  // Read ahead of the moment, so that at the moment only the switching command goes out.
  board->prepareSwitch(0b11, 0b11);
  const std::size_t atMoment = wide->log().size();
  board->startSwitch(0b11, 0b11);
  board->finishSwitch();
  ASSERT_TRUE(wide->waitForCommands(atMoment + 1, 2000ms));
  const auto sent = wide->logSince(atMoment);
  ASSERT_EQ(sent.size(), 1U);
  EXPECT_EQ(sent[0].text, "relay writeall 03");
  EXPECT_TRUE(wide->relay(0) && wide->relay(1));
  // Kept as its own command set the relays: the next switch of several asks nothing first.
  board->prepareSwitch(0b1100, 0b1100);
  board->startSwitch(0b1100, 0b1100);
  board->finishSwitch();
  ASSERT_TRUE(wide->waitForCommands(atMoment + 2, 2000ms));
  EXPECT_EQ(wide->logSince(atMoment).back().text, "relay writeall 0F");

  EXPECT_FALSE(board->gone());
  wide.reset();  // unplugged: its terminal is gone
  EXPECT_TRUE(board->gone());
}

// A text module named with the wrong kind gets a CH340 board's frames, which it holds as the start
// of a line: found by name again, by its path or its identity, it is read alone all the same.
TEST_F(CatalogTest, ATextModuleByNameIsReadAloneAfterAnotherKindsTraffic) {
  sim::RelayModule ring(module("RING8", 8));
  addText(ring);
  const std::vector<rig::BoardName> names = {{"text", ring.devicePath()}, {"text-id", "RING8"}};
  for (const rig::BoardName& name : names) {
    serial::Ch340Board wrong(ring.devicePath(), 8);
    wrong.open();  // switches its eight relays off: eight frames the module cannot read
    wrong.close();
    const auto board = catalog().find(name);
    board->open();
    EXPECT_EQ(board->readRelays(), 0U) << name.text();
    EXPECT_EQ(board->relayCount(), 8) << name.text() << ": not the two-relay module's answer";
    board->close();
  }
}

// Each echo is longer than its command, so switches sent back to back leave the module talking
// long after the last one went out (here about 1.6 s at 9600 baud). A reading after them waits
// for that talk to end: its answer is the module's state, not a stretch of old echoes, and it is
// asked once.
TEST_F(CatalogTest, AReadingAfterABurstOfSwitchesIsAnsweredOnceTheirEchoesEnd) {
  sim::Options options = module("RUSH8", 8);
  options.paced = true;
  sim::RelayModule paced(options);
  addText(paced);
  const auto board = catalog().find({"text-id", "RUSH8"});
  board->open();
  EXPECT_EQ(board->readRelays(), 0U);
  const std::size_t before = paced.log().size();
  constexpr int kSwitches = 100;
  rig::RelayMask expected = 0;
  for (int i = 0; i < kSwitches; ++i) {
    const int relay = (i * 3) % 8;
    const bool on = (i / 8) % 2 == 0;
    board->switchRelay(relay, on);
    expected = on ? expected | (1U << relay) : expected & ~(1U << relay);
  }
  EXPECT_EQ(board->readRelays(), expected);
  const auto sent = paced.logSince(before);
  ASSERT_EQ(sent.size(), kSwitches + 1U);
  EXPECT_EQ(sent.back().text, "relay readall");
}

TEST_F(CatalogTest, NotFoundAndAmbiguousAreToldPlainlyWithBothPaths) {
  sim::RelayModule first(module("TWIN"));
  sim::RelayModule second(module("TWIN"));
  addText(first);
  addText(second);
  addHid("/dev/hidraw0", "SAME1");
  addHid("/dev/hidraw1", "SAME1");
  auto cat = catalog();

  const auto text = errorFrom([&] { cat.find({"text-id", "TWIN"}); });
  EXPECT_EQ(text.kind(), rig::FailureKind::Ambiguous);
  EXPECT_NE(text.reason().find(first.devicePath()), std::string::npos) << text.what();
  EXPECT_NE(text.reason().find(second.devicePath()), std::string::npos) << text.what();

  const auto hid = errorFrom([&] { cat.find({"hid", "SAME1"}); });
  EXPECT_EQ(hid.kind(), rig::FailureKind::Ambiguous);
  EXPECT_NE(hid.reason().find("/dev/hidraw0 and /dev/hidraw1"), std::string::npos) << hid.what();

  for (const rig::BoardName& missing :
       {rig::BoardName{"text-id", "NOPE"}, rig::BoardName{"hid", "NOPE"},
        rig::BoardName{"ch340", "/nonexistent/tty"}, rig::BoardName{"text", "/nonexistent/tty"},
        rig::BoardName{"modbus", "/nonexistent/tty@3"}}) {
    const auto e = errorFrom([&] { cat.find(missing); });
    EXPECT_EQ(e.kind(), rig::FailureKind::NoDevice) << missing.text();
    EXPECT_EQ(e.reason().rfind(missing.text(), 0), 0U) << e.reason();
  }
  EXPECT_EQ(errorFrom([&] {
              cat.find({"modbus", "/dev/null@999"});
            }).kind(),
            rig::FailureKind::Other);
}

TEST_F(CatalogTest, SetsAHidBoardsIdOnlyWhenBothNamesStayUnique) {
  auto& board = addHid("/dev/hidraw0", "SAME1");
  addHid("/dev/hidraw1", "SAME1");
  addHid("/dev/hidraw2", "CAM02");
  auto cat = catalog();

  EXPECT_EQ(errorFrom([&] { cat.setHidId("SAME1", "NEW01"); }).kind(), rig::FailureKind::Ambiguous);
  EXPECT_EQ(errorFrom([&] { cat.setHidId("NONE1", "NEW01"); }).kind(), rig::FailureKind::NoDevice);
  bus->boards.erase("/dev/hidraw1");
  const auto taken = errorFrom([&] { cat.setHidId("SAME1", "CAM02"); });
  EXPECT_EQ(taken.kind(), rig::FailureKind::Ambiguous);
  EXPECT_NE(taken.reason().find("/dev/hidraw2"), std::string::npos) << taken.what();
  for (const char* bad : {"", "TOOLONG", "A B", "A:B", "\x01"}) {
    EXPECT_THROW(cat.setHidId("SAME1", bad), std::invalid_argument) << bad;
  }
  EXPECT_EQ(board.id, "SAME1");  // nothing was sent for any refusal

  cat.setHidId("SAME1", "CAM1");
  EXPECT_EQ(board.id.substr(0, 4), "CAM1");
  EXPECT_NO_THROW(cat.find({"hid", "CAM1"}));
}

}  // namespace
