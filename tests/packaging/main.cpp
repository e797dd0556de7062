#include <gtest/gtest.h>

#include <QCoreApplication>
#include <cstring>

int serialLogChild(const char* device);

// The serial control needs an application object. With "--serial-log-child DEVICE" the program
// plays the child process of the traffic log tests instead of running them.
int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  if (argc == 3 && std::strcmp(argv[1], "--serial-log-child") == 0) return serialLogChild(argv[2]);
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
