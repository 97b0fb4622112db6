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
  char hint[SERIAL_PATH_SIZE];
  serial_open_hint("COMx", hint, sizeof hint);
  EXPECT_NE(std::string(hint).find("'COMx' is no port name"), std::string::npos) << hint;

  char device[SERIAL_PATH_SIZE];
  ASSERT_TRUE(serial_port_device(88, device, sizeof device));
  serial_open_hint("COM88", hint, sizeof hint);
  EXPECT_NE(std::string(hint).find(device), std::string::npos) << hint;
  EXPECT_NE(std::string(hint).find("does not exist"), std::string::npos) << hint;
  serial_open_hint("COM88", hint, 8); // cut short, still terminated
  EXPECT_LT(std::string(hint).size(), 8u);
}
