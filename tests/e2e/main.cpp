#include <gtest/gtest.h>

#include <QApplication>

int main(int argc, char** argv) {
  // Real windows, no display needed.
  if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  // The main window is destroyed after every test; the test run decides when the program ends.
  QApplication::setQuitOnLastWindowClosed(false);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
