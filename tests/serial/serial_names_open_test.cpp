// Names that lead to no port, handed to the real driver layer.
#include <gtest/gtest.h>

#include <string>

#include "serial/serial.h"

TEST(SerialOpen, NamesOfNoPortFailCleanly) {
  const std::string long_name = "\\\\.\\COM" + std::string(300, '7');
  for (const char* name : {"\\\\.\\COM0", "\\\\.\\COM-1", "\\\\.\\COM90", "\\\\.\\COM256", "COMx",
                           "", "NUL", long_name.c_str()}) {
    PortHandle slot = 99;
    char message[256] = "stale";
    EXPECT_EQ(serial_open(name, &slot, message), 2) << name;
    EXPECT_STREQ(message, "serial port open failed!\r\n");
    EXPECT_EQ(slot, 0u);
  }
}

TEST(SerialOpen, HintNamesTheDeviceTried) {
  PortHandle slot = 0;
  const std::string no_name = serial_open_explained("COMx", &slot).hint;
  EXPECT_NE(no_name.find("'COMx' is no port name"), std::string::npos) << no_name;

  char device[SERIAL_PATH_SIZE];
  ASSERT_TRUE(serial_resolve_name("COM88", device, sizeof device));
  const std::string missing = serial_open_explained("COM88", &slot).hint;
  EXPECT_NE(missing.find(device), std::string::npos) << missing;
  EXPECT_NE(missing.find("does not exist"), std::string::npos) << missing;
}
