#include <gtest/gtest.h>

#include <QCoreApplication>

// The bridge runs on the Qt event loop; the tests turn it while they wait.
int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
