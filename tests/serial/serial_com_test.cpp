// The Windows port on a real COM port. wine-com-test maps a pseudo-terminal
// whose other end echoes every byte as the port named by ORVA_TEST_COM; run
// alone, these tests are skipped.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "serial/port_list.h"
#include "serial/serial.h"

using Clock = std::chrono::steady_clock;

namespace {

int mapped_port() {
  const char* number = std::getenv("ORVA_TEST_COM");
  return number ? std::atoi(number) : 0;
}

long long ms_since(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

class ComPort : public ::testing::Test {
protected:
  void SetUp() override {
    number_ = mapped_port();
    if (number_ == 0) GTEST_SKIP() << "no COM port mapped; wine-com-test runs these";
    std::snprintf(name_, sizeof name_, "\\\\.\\COM%d", number_);
  }
  void TearDown() override {
    if (slot_) serial_close(&slot_, message_);
  }

  int number_ = 0;
  char name_[32] = "";
  PortHandle slot_ = 0;
  char message_[256] = "stale";
};

} // namespace

TEST_F(ComPort, DiscoveryListsIt) {
  std::vector<int> listed;
  for (const PortEntry& port : serial_list_ports()) listed.push_back(port.number);
  EXPECT_NE(std::find(listed.begin(), listed.end(), number_), listed.end());
  EXPECT_EQ(std::find(listed.begin(), listed.end(), number_ + 1), listed.end());
}

TEST_F(ComPort, OpensAndEchoesAFrame) {
  ASSERT_EQ(serial_open(name_, &slot_, message_), 0) << message_;
  EXPECT_STREQ(message_, "");
  SerialPort* port = port_from_handle(slot_);

  const uint8_t frame[] = {0x02, 0x01, 0x10, 0x00, 0x02, 0x00, 0x64, 0x77, 0x03};
  ASSERT_TRUE(port->write(frame, sizeof frame));
  std::string echoed;
  const Clock::time_point start = Clock::now();
  while (echoed.size() < sizeof frame && ms_since(start) < 3000) {
    uint8_t buffer[256];
    size_t got = 0;
    ASSERT_TRUE(port->read(buffer, sizeof buffer, &got));
    echoed.append(reinterpret_cast<char*>(buffer), got);
  }
  EXPECT_EQ(echoed, std::string(reinterpret_cast<const char*>(frame), sizeof frame));
}

TEST_F(ComPort, IdleReadReturnsNothingWithinTheTimeOut) {
  ASSERT_EQ(serial_open(name_, &slot_, message_), 0) << message_;
  uint8_t buffer[256];
  size_t got = 99;
  const Clock::time_point start = Clock::now();
  EXPECT_TRUE(port_from_handle(slot_)->read(buffer, sizeof buffer, &got));
  EXPECT_EQ(got, 0u);
  EXPECT_LT(ms_since(start), 1000);
}

TEST_F(ComPort, ClosesAndOpensAgain) {
  ASSERT_EQ(serial_open(name_, &slot_, message_), 0) << message_;
  EXPECT_EQ(serial_close(&slot_, message_), 0);
  slot_ = 0;
  EXPECT_EQ(serial_open(name_, &slot_, message_), 0) << message_;
}

TEST_F(ComPort, SecondOpenIsRefused) {
  ASSERT_EQ(serial_open(name_, &slot_, message_), 0) << message_;
  PortHandle second = 7;
  const uint8_t result = serial_open(name_, &second, message_);
  if (result == 0) {
    serial_close(&second, message_);
    GTEST_SKIP() << "Wine does not enforce exclusive opens of COM ports";
  }
  EXPECT_EQ(result, 2);
  EXPECT_EQ(second, 0u);
}
