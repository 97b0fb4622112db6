// serial_open and serial_close over a scripted driver: which calls run in
// which order, and what the caller gets back when any one of them fails.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "serial/serial.h"
#include "serial/system_port.h"

namespace {

enum Step { OPEN = 1, GET_STATE, GET_TIMEOUTS, SET_TIMEOUTS, SET_STATE, CLOSE };

struct Driver {
  int failing = 0;
  int ports_alive = 0;
  std::vector<std::string> calls;
} driver;

class ScriptedPort : public SystemPort {
public:
  ScriptedPort() { ++driver.ports_alive; }
  ~ScriptedPort() override { --driver.ports_alive; }
  bool read(uint8_t*, size_t, size_t* got) override { return *got = 0, true; }
  bool write(const uint8_t*, size_t) override { return true; }
  bool get_state() override { return call("get state", GET_STATE); }
  bool get_timeouts() override { return call("get timeouts", GET_TIMEOUTS); }
  bool set_timeouts() override { return call("set timeouts", SET_TIMEOUTS); }
  bool set_state() override { return call("set state", SET_STATE); }
  bool close() override { return call("close", CLOSE); }

private:
  static bool call(const char* name, int step) {
    driver.calls.push_back(name);
    return driver.failing != step;
  }
};

using Calls = std::vector<std::string>;

class SerialSteps : public ::testing::Test {
protected:
  void SetUp() override {
    driver = Driver{};
    std::strcpy(message, "stale text");
  }
  char message[256];
  PortHandle slot = 1234;
};

} // namespace

SystemOpen system_port_open(const char* name) {
  driver.calls.push_back(std::string("open ") + name);
  if (driver.failing == OPEN) return {nullptr, OpenFailure::busy};
  return {new ScriptedPort, OpenFailure::none};
}

std::string system_port_hint(const char* name, OpenFailure failure) {
  return std::string(name) + (failure == OpenFailure::busy ? " is busy" : " failed otherwise");
}

TEST_F(SerialSteps, OpenConfiguresTimeOutsBeforeLineAndCloseReleases) {
  EXPECT_EQ(serial_open("\\\\.\\COM3", &slot, message), 0);
  EXPECT_STREQ(message, "");
  EXPECT_NE(slot, 0u);
  EXPECT_EQ(driver.calls,
            (Calls{"open \\\\.\\COM3", "get state", "get timeouts", "set timeouts", "set state"}));

  std::strcpy(message, "kept");
  const PortHandle held = slot;
  EXPECT_EQ(serial_close(&slot, message), 0);
  EXPECT_STREQ(message, "kept");
  EXPECT_EQ(slot, held);
  EXPECT_EQ(driver.calls.back(), "close");
  EXPECT_EQ(driver.ports_alive, 0);
}

TEST_F(SerialSteps, EachRefusedStepHasItsResultTextAndClosesThePort) {
  const char* texts[] = {"serial port get state failed!\r\n",
                         "serial port get timeouts failed!\r\n",
                         "serial port set timeouts failed!\r\n",
                         "serial port set state failed!\r\n"};
  for (int step = GET_STATE; step <= SET_STATE; ++step) {
    SCOPED_TRACE(step);
    SetUp();
    driver.failing = step;
    EXPECT_EQ(serial_open("COM1", &slot, message), step + 1);
    EXPECT_STREQ(message, texts[step - GET_STATE]);
    EXPECT_EQ(slot, 0u);
    EXPECT_EQ(driver.calls.size(), static_cast<size_t>(step + 1)); // no step after the refused one
    EXPECT_EQ(driver.calls.back(), "close");
    EXPECT_EQ(driver.ports_alive, 0);
  }
}

TEST_F(SerialSteps, FailedOpenEmptiesTheSlot) {
  driver.failing = OPEN;
  EXPECT_EQ(serial_open("COM1", &slot, message), 2);
  EXPECT_STREQ(message, "serial port open failed!\r\n");
  EXPECT_EQ(slot, 0u);
  EXPECT_EQ(driver.calls.size(), 1u);
}

// The dialog and orvaload-cli show what serial_open_explained gives: a hint
// from what the open met, only when the open itself failed. The later steps
// found the port there and free; a hint would only mislead.
TEST_F(SerialSteps, OnlyAFailedOpenGetsAHintAndItSaysWhatTheOpenMet) {
  driver.failing = OPEN;
  const SerialOpening failed = serial_open_explained("COM1", &slot);
  EXPECT_EQ(failed.result, 2);
  EXPECT_EQ(failed.text, "serial port open failed!\r\n");
  EXPECT_EQ(failed.hint, "COM1 is busy");
  for (int step = GET_STATE; step <= SET_STATE; ++step) {
    driver = Driver{};
    driver.failing = step;
    const SerialOpening refused = serial_open_explained("COM1", &slot);
    EXPECT_EQ(refused.result, step + 1);
    EXPECT_EQ(refused.hint, "") << step;
  }
}

TEST_F(SerialSteps, MissingArgumentsOpenNothingAndLeaveTheSlot) {
  EXPECT_EQ(serial_open(nullptr, &slot, message), 1);
  EXPECT_STREQ(message, "serial port internal parameters error!\r\n");
  EXPECT_EQ(serial_open("COM1", nullptr, message), 1);
  EXPECT_EQ(serial_open(nullptr, nullptr, nullptr), 1);
  std::strcpy(message, "untouched");
  EXPECT_EQ(serial_open("COM1", &slot, nullptr), 1);
  EXPECT_STREQ(message, "untouched");
  EXPECT_EQ(slot, 1234u);
  EXPECT_TRUE(driver.calls.empty());
}

TEST_F(SerialSteps, CloseRefusesHandlesThatAreNoOpenPort) {
  EXPECT_EQ(serial_close(nullptr, message), 0);
  EXPECT_STREQ(message, "stale text");

  slot = 0;
  EXPECT_EQ(serial_close(&slot, message), 1);
  EXPECT_STREQ(message, "failed to close handle\r\n");
  EXPECT_EQ(serial_close(&slot, nullptr), 1);

  ASSERT_EQ(serial_open("COM1", &slot, message), 0);
  EXPECT_EQ(serial_close(&slot, message), 0);
  std::strcpy(message, "");
  EXPECT_EQ(serial_close(&slot, message), 1); // closed before: refused, not followed
  EXPECT_STREQ(message, "failed to close handle\r\n");
  EXPECT_EQ(driver.calls.back(), "close");
  EXPECT_EQ(std::count(driver.calls.begin(), driver.calls.end(), "close"), 1);
}

TEST_F(SerialSteps, RefusedCloseStillFreesThePort) {
  ASSERT_EQ(serial_open("COM1", &slot, message), 0);
  driver.failing = CLOSE;
  EXPECT_EQ(serial_close(&slot, message), 1);
  EXPECT_STREQ(message, "failed to close handle\r\n");
  EXPECT_EQ(driver.ports_alive, 0);
}
