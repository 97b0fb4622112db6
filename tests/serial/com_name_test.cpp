#include <gtest/gtest.h>

#include <string>

#include "serial/com_name.h"

TEST(ComName, AcceptsBothFormsInAnyCase) {
  EXPECT_EQ(com_number("COM1"), 1);
  EXPECT_EQ(com_number("\\\\.\\COM12"), 12);
  EXPECT_EQ(com_number("com89"), 89);
  EXPECT_EQ(com_number("\\\\.\\cOm255"), 255);
}

TEST(ComName, RejectsEverythingElse) {
  const std::string long_name = "COM" + std::string(300, '1');
  for (const char* name : {"", "COM", "COM0", "COM01", "COM-1", "COM+1", "COMx", "COM1x", "COM 1",
                           "COM256", "COM99999999999", "\\\\.\\COM0", "\\\\.\\COM-1", "\\\\?\\COM1",
                           "\\\\.COM1", "LPT1", "/dev/ttyS0", long_name.c_str()}) {
    EXPECT_EQ(com_number(name), 0) << name;
  }
  EXPECT_EQ(com_number(nullptr), 0);
}
