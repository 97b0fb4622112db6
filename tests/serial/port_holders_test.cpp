// What the hint says about the programs holding a busy port. The lookup
// through /proc runs in the CLI process tests, against a holder of their own.
#include <gtest/gtest.h>

#include <string>

#include "serial/port_holders.h"

TEST(PortHolders, KnownGrabbersComeWithTheirFix) {
  EXPECT_EQ(holders_text({}), "");
  EXPECT_EQ(holders_text({{42, "minicom"}}), "held by minicom (pid 42)");
  const std::string modem = holders_text({{7, "ModemManager"}, {8, "screen"}});
  EXPECT_EQ(modem.rfind("held by ModemManager (pid 7), screen (pid 8); ModemManager ", 0), 0u)
      << modem;
  EXPECT_NE(modem.find("systemctl stop ModemManager"), std::string::npos);
  EXPECT_NE(modem.find("ID_MM_DEVICE_IGNORE"), std::string::npos);
  const std::string braille = holders_text({{9, "brltty"}});
  EXPECT_NE(braille.find("apt remove brltty"), std::string::npos) << braille;
  EXPECT_EQ(braille.find("ModemManager"), std::string::npos);
}
