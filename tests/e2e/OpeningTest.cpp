// Opening the port by number and by the automatic scan, against simulated modules on real
// pseudo-terminals.

#include "PanelFixture.h"

namespace {

using Strings = std::vector<std::string>;

// What a module sees from a successful scan that stops on it: the question, the scan's reset,
// then the click's own reset.
const Strings kFoundAndReset = {"id get", "relay off 0", "relay off 1", "relay off 0",
                                "relay off 1"};

sim::Options identifyingAs(std::string identification) {
  sim::Options options;
  options.identification = std::move(identification);
  return options;
}

}  // namespace

TEST_F(PanelTest, OpeningByNumberResetsTheRigAndEnablesTheActions) {
  sim::RelayModule module;
  module.setRelay(0, true);
  module.setRelay(1, true);
  Form1& window = panelOn({QString::fromStdString(module.devicePath())});

  openWith(QStringLiteral("1"));

  ASSERT_TRUE(module.waitForCommands(2, std::chrono::seconds(5)));
  const auto log = module.log();
  ASSERT_EQ(texts(log), (Strings{"relay off 0", "relay off 1"}));
  EXPECT_GE(between(log[0], log[1]), kHalfSecondSeen);
  EXPECT_FALSE(module.relay(0));
  EXPECT_FALSE(module.relay(1));

  EXPECT_EQ(text(window.text3()), "Port Found and Opened");
  EXPECT_EQ(window.text3()->toolTip().toStdString(), module.devicePath());
  EXPECT_EQ(text(window.command5()), "Flash 1");
  EXPECT_EQ(text(window.command6()), "Shutter");
  for (QPushButton* button :
       {window.command2(), window.command5(), window.command6(), window.command8()}) {
    EXPECT_TRUE(button->isEnabled()) << button->objectName().toStdString();
  }
  EXPECT_TRUE(window.service().state().open);
  EXPECT_TRUE(failures.empty());
}

TEST_F(PanelTest, ScanPassesAbsentPortsAndStopsOnTheModule) {
  sim::RelayModule module;
  Form1& window = panelOn({QString(), absentDevice(QStringLiteral("ttyUSB9")), QString(),
                           QString::fromStdString(module.devicePath())});

  openWith(QStringLiteral("AUTOMATIC"));

  // Two resets of half a second each: a limit well beyond them, not a measure.
  ASSERT_TRUE(module.waitForCommands(kFoundAndReset.size(), std::chrono::seconds(5)));
  const auto log = module.log();
  ASSERT_EQ(texts(log), kFoundAndReset);
  EXPECT_GE(between(log[1], log[2]), kHalfSecondSeen) << "the scan's reset";
  EXPECT_GE(between(log[3], log[4]), kHalfSecondSeen) << "the click's reset";

  EXPECT_EQ(selectorText(), "4");
  EXPECT_EQ(text(window.command1()), "Port Open");
  EXPECT_EQ(text(window.text3()), "Port found and opened");
  EXPECT_NE(text(window.text2()).find("KOVRA 78"), std::string::npos)
      << "the identification reply: " << text(window.text2());
  for (QPushButton* button :
       {window.command2(), window.command5(), window.command6(), window.command8()}) {
    EXPECT_TRUE(button->isEnabled()) << button->objectName().toStdString();
  }
  EXPECT_TRUE(window.service().state().open);
  EXPECT_EQ(window.service().state().port, 4);
  EXPECT_TRUE(failures.empty());
}

TEST_F(PanelTest, ScanTakesTheFirstModuleAndLeavesTheOthersAlone) {
  // Which module is taken, not how long its resets last: the rig skips its pauses.
  useSkippingClock();
  sim::RelayModule second;
  sim::RelayModule fifth;
  Form1& window = panelOn({QString(), QString::fromStdString(second.devicePath()), QString(),
                           absentDevice(QStringLiteral("ttyACM0")),
                           QString::fromStdString(fifth.devicePath())});

  openWith(QStringLiteral("AUTOMATIC"));

  ASSERT_TRUE(second.waitForCommands(kFoundAndReset.size(), std::chrono::seconds(5)));
  EXPECT_EQ(texts(second.log()), kFoundAndReset);
  EXPECT_TRUE(fifth.received().empty()) << fifth.received();
  EXPECT_EQ(selectorText(), "2");
  EXPECT_EQ(text(window.text3()), "Port found and opened");
  EXPECT_EQ(window.service().state().port, 2);
}

TEST_F(PanelTest, ScanMatchesOnlyTheModulesOwnName) {
  sim::Options mute;
  mute.silent = true;
  sim::RelayModule silent(mute);
  sim::RelayModule other(identifyingAs("ACME 3"));
  sim::RelayModule lowercase(identifyingAs("kovra 78"));
  sim::RelayModule beyond;  // on port 16, past the end of the scan
  QStringList devices = {QString::fromStdString(silent.devicePath()),
                         QString::fromStdString(other.devicePath()),
                         QString::fromStdString(lowercase.devicePath())};
  while (devices.size() < 15) devices << QString();
  devices << QString::fromStdString(beyond.devicePath());
  Form1& window = panelOn(devices);

  openWith(QStringLiteral("AUTOMATIC"));

  // Each opened port was asked once and then left alone: no reset anywhere.
  for (const sim::RelayModule* module : {&silent, &other, &lowercase}) {
    EXPECT_EQ(texts(module->log()), Strings{"id get"}) << module->devicePath();
  }
  EXPECT_TRUE(beyond.received().empty());
  EXPECT_EQ(text(window.text3()), "Port Not Found");
  EXPECT_FALSE(window.text3()->toolTip().isEmpty()) << "the reason is offered";
  EXPECT_EQ(selectorText(), "15");
  EXPECT_EQ(text(window.command1()), "Open Com Port");
  EXPECT_FALSE(window.command8()->isEnabled());
  EXPECT_FALSE(window.service().state().open);
  EXPECT_TRUE(failures.empty());
}

TEST_F(PanelTest, ScanWhileAPortIsOpenFindsTheModuleOnItsRealPort) {
  // Which module is taken, not how long its resets last: the rig skips its pauses.
  useSkippingClock();
  sim::RelayModule stranger(identifyingAs("ACME 3"));
  sim::RelayModule module;
  Form1& window = panelOn({QString::fromStdString(stranger.devicePath()), QString(),
                           QString::fromStdString(module.devicePath())});

  // The operator opened the wrong device by number first.
  openWith(QStringLiteral("1"));
  ASSERT_TRUE(window.service().state().open);
  ASSERT_TRUE(stranger.waitForCommands(2, std::chrono::seconds(5)));

  openWith(QStringLiteral("AUTOMATIC"));

  ASSERT_TRUE(module.waitForCommands(kFoundAndReset.size(), std::chrono::seconds(5)));
  EXPECT_EQ(texts(module.log()), kFoundAndReset);
  EXPECT_EQ(texts(stranger.log()), (Strings{"relay off 0", "relay off 1", "id get"}));
  EXPECT_EQ(selectorText(), "3");
  EXPECT_EQ(window.service().state().port, 3);
  EXPECT_TRUE(window.service().state().open);
  EXPECT_EQ(text(window.text3()), "Port found and opened");
  EXPECT_TRUE(failures.empty());
}
