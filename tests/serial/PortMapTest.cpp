#include <gtest/gtest.h>

#include "serial/PortMap.h"

using serial::PortMap;

TEST(PortMapTest, ListEntriesAreNumberedFromOneAndEmptyEntriesHaveNoDevice) {
  const PortMap map = PortMap::fromList("a,,c");
  EXPECT_EQ(map.device(1), "a");
  EXPECT_EQ(map.device(2), "");
  EXPECT_EQ(map.device(3), "c");
  EXPECT_EQ(map.device(4), "");
  EXPECT_EQ(map.device(0), "");
  EXPECT_EQ(map.device(-1), "");
}

TEST(PortMapTest, ListEntriesAreTrimmedAndATrailingCommaAddsAnEmptyPort) {
  const PortMap map = PortMap::fromList(" /dev/ttyUSB0 ,\t/dev/ttyS0,");
  EXPECT_EQ(map.devices(), (QStringList{"/dev/ttyUSB0", "/dev/ttyS0", ""}));
  EXPECT_EQ(map.device(2), "/dev/ttyS0");
  EXPECT_EQ(map.device(3), "");
  EXPECT_TRUE(PortMap::fromList("  ").devices().isEmpty());
}

TEST(PortMapTest, UsbDevicesComeFirstAndEachGroupIsInNameOrder) {
  const PortMap map = PortMap::ordered({"/dev/ttyS1", "/dev/ttyUSB10", "/dev/rfcomm0",
                                        "/dev/ttyACM0", "/dev/ttyUSB2", "/dev/ttyS0"});
  EXPECT_EQ(map.devices(), (QStringList{"/dev/ttyACM0", "/dev/ttyUSB2", "/dev/ttyUSB10",
                                        "/dev/rfcomm0", "/dev/ttyS0", "/dev/ttyS1"}));
}
