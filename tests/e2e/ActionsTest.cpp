// The rig's actions through the real buttons, serial control and pseudo-terminals: the two-shot
// sequence, the flash toggle on a slow line full of leftovers, and a module unplugged mid-run.

#include <QElapsedTimer>
#include <QTimer>

#include "PanelFixture.h"

namespace {

using Strings = std::vector<std::string>;

// Every "relay on 1" is followed by its "relay off 1" no sooner than half a second later.
void expectShutterHeldOpen(const std::vector<sim::Command>& switches) {
  for (std::size_t i = 0; i < switches.size(); ++i) {
    if (switches[i].text != "relay on 1") continue;
    ASSERT_LT(i + 1, switches.size());
    ASSERT_EQ(switches[i + 1].text, "relay off 1");
    EXPECT_GE(
        std::chrono::duration_cast<std::chrono::milliseconds>(switches[i + 1].at - switches[i].at),
        kHalfSecondSeen)
        << "shutter pulse at command " << i;
  }
}

}  // namespace

TEST_F(PanelTest, StartRunsTheTwoShotSequenceWhicheverStateTheFlashIsIn) {
  struct Case {
    bool flashOn;
    Strings switches;
  };
  const Case cases[] = {
      {false,
       {"relay on 1", "relay off 1", "relay on 0", "relay on 1", "relay off 1", "relay off 0"}},
      {true,
       {"relay on 1", "relay off 1", "relay off 0", "relay on 1", "relay off 1", "relay on 0"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.flashOn ? "flash starts on" : "flash starts off");
    sim::RelayModule module;
    Form1& window = panelOn({QString::fromStdString(module.devicePath())});
    openWith(QStringLiteral("1"));
    ASSERT_TRUE(module.waitForCommands(2, std::chrono::seconds(5)));
    // The flash was switched on by hand since the reset.
    module.setRelay(0, c.flashOn);
    const std::size_t before = module.log().size();

    clickAndWait(window.command8());

    // Two queries of each relay, and the six switching commands.
    ASSERT_TRUE(module.waitForCommands(before + 10, std::chrono::seconds(5)));
    const auto switches = switching(module.logSince(before));
    EXPECT_EQ(texts(switches), c.switches);
    expectShutterHeldOpen(switches);
    EXPECT_EQ(module.relay(0), c.flashOn);
    EXPECT_FALSE(module.relay(1));
    EXPECT_EQ(text(window.command5()), c.flashOn ? "Flash 2" : "Flash 1");
    EXPECT_EQ(text(window.command6()), "Camera Shutter");
    EXPECT_FALSE(window.service().busy());
    EXPECT_TRUE(failures.empty());

    destroyWindows();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
  }
}

TEST_F(PanelTest, FlashTogglesTrulyOnASlowLineWithLeftoversStillArriving) {
  sim::Options options;
  options.paced = true;  // every reply arrives in pieces, about a millisecond a byte
  sim::RelayModule module(options);
  Form1& window = panelOn({QString::fromStdString(module.devicePath())});
  openWith(QStringLiteral("1"));
  ASSERT_TRUE(module.waitForCommands(2, std::chrono::seconds(5)));
  const std::size_t before = module.log().size();

  for (int click = 0; click < 10; ++click) {
    SCOPED_TRACE("click " + std::to_string(click + 1));
    const bool wasOn = module.relay(0);
    // An old answer still on its way, claiming the opposite state: read as the reply to the
    // coming query, it would make the toggle switch the wrong way.
    module.send(std::string("relay read 0\r\n") + (wasOn ? "off" : "on") + "\r\n>");

    clickAndWait(window.command5());

    ASSERT_TRUE(module.waitForCommands(before + 2 * (click + 1), std::chrono::seconds(5)));
    ASSERT_EQ(module.relay(0), !wasOn);
    EXPECT_EQ(text(window.command5()), wasOn ? "Flash 1" : "Flash 2");
  }

  Strings expected;
  for (int click = 0; click < 10; ++click) {
    expected.push_back("relay read 0");
    expected.push_back(click % 2 == 0 ? "relay on 0" : "relay off 0");
  }
  EXPECT_EQ(texts(module.logSince(before)), expected);
  EXPECT_TRUE(failures.empty());
}

TEST_F(PanelTest, UnpluggedModuleEndsTheRunAndANewOneIsFoundOnTheSamePort) {
  const QString port1 = tempPath(QStringLiteral("ttyUSB0"));
  auto first = std::make_unique<sim::RelayModule>();
  ASSERT_TRUE(pointLink(port1, first->devicePath()));
  Form1& window = panelOn({port1});
  openWith(QStringLiteral("1"));
  ASSERT_TRUE(first->waitForCommands(2, std::chrono::seconds(5)));

  // Pulled out during the pause after the first shutter pulse.
  QTimer::singleShot(std::chrono::milliseconds(700), [&first] { first->vanish(); });
  QElapsedTimer run;
  run.start();
  clickAndWait(window.command8());

  EXPECT_LT(run.elapsed(), 2000) << "a whole run lasts 2.5 s; this one had to end early";
  EXPECT_EQ(texts(switching(first->log())),
            (Strings{"relay off 0", "relay off 1", "relay on 1", "relay off 1"}));
  ASSERT_EQ(failures.size(), 1u);
  EXPECT_TRUE(failures[0].title.contains(QStringLiteral("Start")));
  const QString where = QStringLiteral("Port 1 (%1): ").arg(port1);
  const qsizetype at = failures[0].text.indexOf(where);
  ASSERT_GE(at, 0) << failures[0].text.toStdString();
  EXPECT_TRUE(failures[0].text.startsWith(QStringLiteral("\"Start\"")));
  EXPECT_FALSE(failures[0].text.mid(at + where.size()).trimmed().isEmpty()) << "a reason";

  // The panel carries on: nothing is stuck, the buttons still answer.
  EXPECT_FALSE(window.service().busy());
  EXPECT_TRUE(window.command1()->isEnabled());
  EXPECT_TRUE(window.command5()->isEnabled());

  // A new module appears under the same name.
  first.reset();
  sim::RelayModule second;
  ASSERT_TRUE(pointLink(port1, second.devicePath()));
  openWith(QStringLiteral("AUTOMATIC"));

  EXPECT_EQ(selectorText(), "1");
  EXPECT_EQ(text(window.text3()), "Port found and opened");
  ASSERT_TRUE(window.service().state().open);
  ASSERT_TRUE(second.waitForCommands(5, std::chrono::seconds(5)));

  clickAndWait(window.command5());

  ASSERT_TRUE(second.waitForCommands(7, std::chrono::seconds(5)));
  EXPECT_EQ(texts(second.logSince(5)), (Strings{"relay read 0", "relay on 0"}));
  EXPECT_TRUE(second.relay(0));
  EXPECT_EQ(text(window.command5()), "Flash 2");
  EXPECT_EQ(failures.size(), 1u) << "nothing more went wrong";
}
