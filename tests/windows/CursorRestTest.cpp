#include <gtest/gtest.h>

#include <QApplication>
#include <QLineEdit>
#include <QTest>
#include <chrono>

#include "windows/CursorRest.h"

namespace {

using namespace std::chrono_literals;

// The blinking stops once input has been idle for the rest time, the cursor shown still, and
// comes back as the desktop set it at the next key, the next click, or when the rest ends.
TEST(CursorRest, BlinkingStopsWhenIdleAndComesBackAtTheNextInput) {
  QApplication::setCursorFlashTime(800);
  QLineEdit edit;
  edit.show();
  edit.setFocus();
  {
    windows::CursorRest rest(50ms);
    EXPECT_FALSE(rest.resting());
    ASSERT_TRUE(QTest::qWaitFor([&] { return rest.resting(); }, 2000));
    EXPECT_EQ(QApplication::cursorFlashTime(), 0);

    QTest::keyClick(&edit, Qt::Key_1);
    EXPECT_FALSE(rest.resting());
    EXPECT_EQ(QApplication::cursorFlashTime(), 800);
    EXPECT_EQ(edit.text(), QStringLiteral("1")) << "the key still reaches the window";

    ASSERT_TRUE(QTest::qWaitFor([&] { return rest.resting(); }, 2000)) << "rests again";
    QTest::mouseClick(&edit, Qt::LeftButton);
    EXPECT_EQ(QApplication::cursorFlashTime(), 800);
    ASSERT_TRUE(QTest::qWaitFor([&] { return rest.resting(); }, 2000));
  }
  EXPECT_EQ(QApplication::cursorFlashTime(), 800) << "put back when the rest ends";
}

}  // namespace
