#include <QLineEdit>
#include <QPointer>
#include <QTest>

#include "WindowsFixture.h"
#include "windows/Form2.h"

namespace {

// Records whether the main window was visible when the trigger window got its show event.
class ShowWatcher : public QObject {
 public:
  bool shown = false;
  bool mainVisibleThen = true;

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override {
    if (event->type() == QEvent::Show && !shown) {
      shown = true;
      mainVisibleThen = form1().isVisible();
    }
    return QObject::eventFilter(watched, event);
  }
};

void expectInitialTrigger(Form2& trigger) {
  EXPECT_TRUE(trigger.windowTitle().isEmpty());
  EXPECT_EQ(trigger.size(), QSize(69, 45));
  EXPECT_EQ(trigger.command1()->text(), QStringLiteral("START"));
  EXPECT_EQ(trigger.command1()->geometry(), QRect(8, 8, 57, 33));
  EXPECT_TRUE(trigger.command1()->isEnabled());
  EXPECT_EQ(trigger.focusWidget(), trigger.command1());
}

}  // namespace

TEST_F(WindowsTest, TriggerWindowRoundTripKeepsTheMainWindowsState) {
  openPort();
  Form1& main = form1();
  main.show();

  // "Start" on the main window, as the reference run.
  clickAndWait(main.command8());
  const std::vector<std::string> fromStart = line->sent;
  ASSERT_EQ(fromStart.size(), 10u);
  line->sent.clear();

  ShowWatcher watcher;
  QPointer<Form2> trigger = &form2();
  trigger->installEventFilter(&watcher);
  clickAndWait(main.command2());
  ASSERT_TRUE(watcher.shown);
  EXPECT_FALSE(watcher.mainVisibleThen) << "the main window is hidden before the trigger shows";
  EXPECT_TRUE(trigger->isVisible());
  EXPECT_TRUE(main.service().state().open);
  expectInitialTrigger(*trigger);

  clickAndWait(trigger->command1());
  EXPECT_EQ(line->sent, fromStart) << "START runs exactly what Start runs";
  EXPECT_FALSE(main.isVisible());

  clickAndWait(main.command5());  // leaves the flash on: "Flash 2"
  trigger->close();
  flushDeletes();
  EXPECT_TRUE(trigger.isNull()) << "closing destroys the trigger window";
  EXPECT_TRUE(main.isVisible());
  EXPECT_TRUE(main.service().state().open);
  EXPECT_EQ(main.text3()->text(), QStringLiteral("Port Found and Opened"));
  EXPECT_EQ(main.command5()->text(), QStringLiteral("Flash 2"));
  EXPECT_TRUE(main.command2()->isEnabled());
  EXPECT_TRUE(main.command8()->isEnabled());

  clickAndWait(main.command2());
  ASSERT_NE(existingForm2(), nullptr);
  expectInitialTrigger(*existingForm2());
  EXPECT_TRUE(failures.empty());
}

TEST_F(WindowsTest, FailedRunFromStartIsReportedAndTheTriggerStaysUsable) {
  openPort();
  form1().show();
  clickAndWait(form1().command2());
  Form2& trigger = form2();

  line->failOutput = true;
  clickAndWait(trigger.command1());
  ASSERT_EQ(failures.size(), 1u);
  EXPECT_TRUE(failures[0].title.contains(QStringLiteral("Start")));
  EXPECT_TRUE(failures[0].text.contains(QStringLiteral("Port 3")));
  EXPECT_TRUE(failures[0].text.contains(QStringLiteral("Input/output error")));
  EXPECT_FALSE(form1().service().busy());
  EXPECT_TRUE(trigger.isVisible());
  EXPECT_FALSE(form1().isVisible());

  // The next START runs in full.
  line->failOutput = false;
  clickAndWait(trigger.command1());
  EXPECT_EQ(failures.size(), 1u);
  EXPECT_EQ(line->sent.size(), 10u);
}

TEST_F(WindowsTest, ClosingTheTriggerDuringARunTakesEffectAfterIt) {
  useRealClock();
  openPort();
  form1().show();
  clickAndWait(form1().command2());
  QPointer<Form2> trigger = &form2();
  trigger->command1()->click();
  trigger->close();
  EXPECT_TRUE(trigger->isVisible()) << "the trigger window stays while the sequence runs";
  EXPECT_FALSE(form1().isVisible());
  EXPECT_TRUE(QTest::qWaitFor(
      [&] {
        flushDeletes();
        return trigger.isNull();
      },
      10000));
  EXPECT_EQ(line->sent.size(), 10u) << "the sequence ran to its end";
  EXPECT_TRUE(form1().isVisible());
}
