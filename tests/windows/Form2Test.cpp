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
  main.command8()->click();
  const std::vector<std::string> fromStart = line->sent;
  ASSERT_EQ(fromStart.size(), 10u);
  line->sent.clear();

  ShowWatcher watcher;
  QPointer<Form2> trigger = &form2();
  trigger->installEventFilter(&watcher);
  main.command2()->click();
  ASSERT_TRUE(watcher.shown);
  EXPECT_FALSE(watcher.mainVisibleThen) << "the main window is hidden before the trigger shows";
  EXPECT_TRUE(trigger->isVisible());
  EXPECT_TRUE(main.serialControl().portOpen());
  expectInitialTrigger(*trigger);

  trigger->command1()->click();
  EXPECT_EQ(line->sent, fromStart) << "START runs exactly what Start runs";
  EXPECT_FALSE(main.isVisible());

  main.command5()->click();  // leaves the flash on: "Flash 2"
  trigger->close();
  flushDeletes();
  EXPECT_TRUE(trigger.isNull()) << "closing destroys the trigger window";
  EXPECT_TRUE(main.isVisible());
  EXPECT_TRUE(main.serialControl().portOpen());
  EXPECT_EQ(main.text3()->text(), QStringLiteral("Port Found and Opened"));
  EXPECT_EQ(main.command5()->text(), QStringLiteral("Flash 2"));
  EXPECT_TRUE(main.command2()->isEnabled());
  EXPECT_TRUE(main.command8()->isEnabled());

  main.command2()->click();
  ASSERT_NE(existingForm2(), nullptr);
  expectInitialTrigger(*existingForm2());
  EXPECT_TRUE(failures.empty());
}

TEST_F(WindowsTest, FailedRunFromStartIsReportedAndTheTriggerStaysUsable) {
  openPort();
  form1().show();
  form1().command2()->click();
  Form2& trigger = form2();

  line->failOutput = true;
  trigger.command1()->click();
  ASSERT_EQ(failures.size(), 1u);
  EXPECT_TRUE(failures[0].title.contains(QStringLiteral("Start")));
  EXPECT_TRUE(failures[0].text.contains(QStringLiteral("Port 3")));
  EXPECT_TRUE(failures[0].text.contains(QStringLiteral("Input/output error")));
  EXPECT_FALSE(form1().busy());
  EXPECT_TRUE(trigger.isVisible());
  EXPECT_FALSE(form1().isVisible());

  // The next START runs in full.
  line->failOutput = false;
  trigger.command1()->click();
  EXPECT_EQ(failures.size(), 1u);
  EXPECT_EQ(line->sent.size(), 10u);
}
