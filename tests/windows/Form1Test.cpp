#include <QLabel>
#include <QLineEdit>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>
#include <map>

#include "WindowsFixture.h"

using namespace std::chrono_literals;

namespace {

QStringList tabCycle(QWidget& window, int steps) {
  QStringList names;
  for (int i = 0; i < steps; ++i) {
    QWidget* focus = QApplication::focusWidget();
    names << (focus != nullptr ? focus->objectName() : QStringLiteral("<none>"));
    QTest::keyClick(focus != nullptr ? focus : &window, Qt::Key_Tab);
  }
  return names;
}

}  // namespace

TEST_F(WindowsTest, MainWindowStartsInItsInitialState) {
  Form1& window = form1();
  EXPECT_FALSE(window.isVisible()) << "the accessor creates without showing";
  EXPECT_EQ(window.windowTitle(), QStringLiteral(" KOVRA-IMAGING Quillmar V1.4"));
  EXPECT_EQ(window.size(), QSize(448, 99));
  EXPECT_FALSE(window.windowIcon().isNull());

  const std::map<QString, QRect> rects = {
      {"Command2", {192, 48, 105, 25}}, {"Text3", {32, 72, 121, 19}},
      {"Text4", {32, 120, 113, 19}},    {"Text2", {32, 96, 113, 19}},
      {"Command8", {192, 16, 105, 25}}, {"Command6", {312, 48, 113, 25}},
      {"Command5", {312, 16, 113, 25}}, {"Command1", {32, 48, 113, 17}},
      {"Combo1", {32, 24, 113, 21}},    {"Label1", {248, 256, 129, 25}}};
  for (const auto& [name, rect] : rects) {
    auto* widget = window.findChild<QWidget*>(name, Qt::FindDirectChildrenOnly);
    ASSERT_NE(widget, nullptr) << name.toStdString();
    EXPECT_EQ(widget->geometry(), rect) << name.toStdString();
  }

  EXPECT_EQ(window.combo1()->currentText(), QStringLiteral("Select Com Port"));
  EXPECT_TRUE(window.combo1()->isEditable());
  QStringList entries;
  for (int i = 0; i < window.combo1()->count(); ++i) entries << window.combo1()->itemText(i);
  EXPECT_EQ(entries, QStringList({"AUTOMATIC", "1", "2", "3", "4", "5", "6", "7", "8", "9", "10",
                                  "11", "12", "AUTOMATIC"}));
  EXPECT_EQ(window.command1()->text(), QStringLiteral("Open Com Port"));
  EXPECT_EQ(window.command2()->text(), QStringLiteral("Start Button"));
  EXPECT_EQ(window.command5()->text(), QStringLiteral("Main Flash"));
  EXPECT_EQ(window.command6()->text(), QStringLiteral("Camera Shutter"));
  EXPECT_EQ(window.command8()->text(), QStringLiteral("Start"));
  EXPECT_EQ(window.text2()->text(), QStringLiteral("Text2"));
  EXPECT_EQ(window.text3()->text(), QStringLiteral("Port Status"));
  EXPECT_EQ(window.text4()->text(), QStringLiteral("Text4"));
  EXPECT_EQ(window.label1()->text(), QStringLiteral("9/29 1:02"));
  EXPECT_TRUE(window.command1()->isEnabled());
  for (QPushButton* button :
       {window.command2(), window.command5(), window.command6(), window.command8()}) {
    EXPECT_FALSE(button->isEnabled()) << button->objectName().toStdString();
  }

  window.show();
  ASSERT_TRUE(QTest::qWaitForWindowActive(&window));
  EXPECT_EQ(QApplication::focusWidget(), window.combo1());
  EXPECT_EQ(tabCycle(window, 4), QStringList({"Combo1", "Command1", "Text3", "Combo1"}));

  // Disabled buttons cannot be clicked into action.
  QTest::mouseClick(window.command8(), Qt::LeftButton);
  QTest::mouseClick(window.command5(), Qt::LeftButton);
  settle(window.service());
  EXPECT_TRUE(line->sent.empty()) << "nothing goes on the line before Open Com Port";

  // Enlarged, the label comes into view; the diagnostic boxes never do.
  window.resize(448, 4215 / 15);
  QCoreApplication::processEvents();
  EXPECT_TRUE(window.label1()->isVisible());
  EXPECT_FALSE(window.text2()->isVisible());
  EXPECT_FALSE(window.text4()->isVisible());
  EXPECT_EQ(window.label1()->geometry(), QRect(248, 256, 129, 25));
}

TEST_F(WindowsTest, SelectorKeepsTypedTextAndPickedEntries) {
  QComboBox* combo = form1().combo1();
  form1().show();
  ASSERT_TRUE(QTest::qWaitForWindowActive(&form1()));
  combo->lineEdit()->clear();
  QTest::keyClicks(combo, QStringLiteral("AUTO"));
  EXPECT_EQ(combo->currentText(), QStringLiteral("AUTO")) << "typed text is not completed";
  QTest::keyClick(combo, Qt::Key_Return);
  EXPECT_EQ(combo->count(), 14) << "typed text is never added to the list";

  // Picking the first entry while it is already current still fills the field.
  combo->setCurrentIndex(0);
  combo->setEditText(QStringLiteral("15"));
  emit combo->activated(0);
  EXPECT_EQ(combo->currentText(), QStringLiteral("AUTOMATIC"));
}

TEST_F(WindowsTest, OpeningByNumberEnablesTheRigAndResetsIt) {
  Form1& window = form1();
  window.combo1()->setEditText(QStringLiteral("3"));
  clickAndWait(window.command1());

  EXPECT_EQ(window.text3()->text(), QStringLiteral("Port Found and Opened"));
  EXPECT_EQ(window.service().state().port, 3);
  EXPECT_TRUE(window.service().state().open);
  EXPECT_EQ(line->sent, (std::vector<std::string>{"relay off 0\r", "relay off 1\r"}));
  for (QPushButton* button :
       {window.command2(), window.command5(), window.command6(), window.command8()}) {
    EXPECT_TRUE(button->isEnabled()) << button->objectName().toStdString();
  }
  EXPECT_TRUE(failures.empty());

  // Enabled: tab order runs through every control that takes the focus.
  window.show();
  ASSERT_TRUE(QTest::qWaitForWindowActive(&window));
  window.combo1()->setFocus();
  EXPECT_EQ(tabCycle(window, 8), QStringList({"Combo1", "Command1", "Command5", "Command6",
                                              "Command8", "Text3", "Command2", "Combo1"}));
}

TEST_F(WindowsTest, WindowFollowsARunningActionAndQueuesInputAfterIt) {
  useRealClock();
  openPort();
  Form1& window = form1();
  window.show();
  window.command6()->click();
  // The window is not held by the pulse: its caption changes while the pulse runs, and a click
  // meanwhile is taken and run after it.
  EXPECT_TRUE(QTest::qWaitFor(
      [&] { return window.command6()->text() == QStringLiteral("Shutter Open"); }, 5000));
  EXPECT_TRUE(window.service().busy());
  QTest::mouseClick(window.command5(), Qt::LeftButton);
  settle(window.service());

  EXPECT_EQ(line->sent, (std::vector<std::string>{"relay read 1\r", "relay on 1\r", "relay off 1\r",
                                                  "relay read 0\r", "relay on 0\r"}));
  EXPECT_EQ(window.command6()->text(), QStringLiteral("Camera Shutter"));
  EXPECT_EQ(window.command5()->text(), QStringLiteral("Flash 2"));
  EXPECT_FALSE(window.service().busy());
}

TEST_F(WindowsTest, ClickOnAButtonDisabledAtTheClickDoesNothing) {
  // "Main Flash" is greyed out while the scan runs; enabled by the time the scan ends, it still
  // must not switch the flash on.
  line->identification = "KOVRA 78";
  Form1& window = form1();
  window.show();
  window.combo1()->setEditText(QStringLiteral("AUTOMATIC"));
  window.command1()->click();
  QTest::mouseClick(window.command5(), Qt::LeftButton);
  settle(window.service());

  EXPECT_EQ(window.text3()->text(), QStringLiteral("Port found and opened"));
  EXPECT_TRUE(window.command5()->isEnabled());
  EXPECT_EQ(window.command5()->text(), QStringLiteral("Flash 1"));
  for (const std::string& sent : line->sent) EXPECT_NE(sent, "relay on 0\r");
}

TEST_F(WindowsTest, CloseRequestedDuringAnActionTakesEffectAfterIt) {
  useRealClock();
  openPort();
  QPointer<Form1> window = &form1();
  window->show();
  window->command6()->click();
  window->close();
  EXPECT_FALSE(window.isNull());
  EXPECT_TRUE(window->isVisible()) << "the window stays while the pulse runs";
  EXPECT_TRUE(QTest::qWaitFor(
      [&] {
        flushDeletes();
        return window.isNull();
      },
      5000))
      << "closed after the action";
  EXPECT_EQ(line->sent.back(), "relay off 1\r") << "the pulse ran to its end";
}

TEST_F(WindowsTest, FailedActionIsReportedAndThePanelGoesOn) {
  openPort();
  Form1& window = form1();
  line->failOutput = true;
  clickAndWait(window.command5());

  ASSERT_EQ(failures.size(), 1u);
  EXPECT_EQ(failures[0].title, QStringLiteral("Main Flash failed"));
  EXPECT_TRUE(failures[0].text.contains(QStringLiteral("Port 3")));
  EXPECT_TRUE(failures[0].text.contains(QStringLiteral("/dev/ttyFAKE0")));
  EXPECT_TRUE(failures[0].text.contains(QStringLiteral("Input/output error")));
  EXPECT_FALSE(window.service().busy());

  line->failOutput = false;
  clickAndWait(window.command5());
  EXPECT_EQ(failures.size(), 1u);
  EXPECT_EQ(line->sent, (std::vector<std::string>{"relay read 0\r", "relay on 0\r"}));
  EXPECT_EQ(window.command5()->text(), QStringLiteral("Flash 2"));
}

TEST_F(WindowsTest, PortNotFoundIsShownInTheStatusBoxWithoutAWarning) {
  Form1& window = form1();
  window.combo1()->setEditText(QStringLiteral("x"));
  clickAndWait(window.command1());
  EXPECT_EQ(window.text3()->text(), QStringLiteral("Port Not Found"));
  EXPECT_TRUE(window.text3()->toolTip().contains(QStringLiteral("not a port number")));
  EXPECT_TRUE(failures.empty());
}

TEST_F(WindowsTest, AScriptsSeriesShowsItsShotInTheStatusTooltip) {
  openPort();
  QStringList tips;
  QObject::connect(&form1().service(), &service::RigHost::stateChanged, form1().text3(),
                   [&tips] { tips << form1().text3()->toolTip(); });
  service::Request series;
  series.action = service::Action::Shutter;
  series.times.repeat = 2;
  form1().service().submit(series, nullptr);
  settle(form1().service());
  EXPECT_FALSE(tips.filter(QStringLiteral("shot 2 of 2")).isEmpty())
      << tips.join('|').toStdString();
  EXPECT_EQ(form1().text3()->toolTip().indexOf(QStringLiteral("shot")), -1);
}
