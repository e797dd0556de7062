#include <gtest/gtest.h>

#include <QCoreApplication>

// The rig service answers through the event loop of the thread that asked.
int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
