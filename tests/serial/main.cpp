#include <gtest/gtest.h>

#include <QCoreApplication>

// The serial control needs a Qt application object for its signals and its event-loop tests.
int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
