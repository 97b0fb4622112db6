#include <vector>

#include "tests/engine/engine_fixture.h"

namespace {

using Timeout = EngineTest;

TEST_F(Timeout, SilenceTimesOutBetweenFourAndFiveSeconds) {
  // A real read gives up after about 257 ms.
  clock.set_step_ms(257);
  for (int ms = 0; ms < 1000; ms += 50) {
    SCOPED_TRACE(ms);
    start_with_one_queued();
    clock.set_time(20, ms);

    EXPECT_EQ(exchange(), EXCHANGE_TIMEOUT);
    EXPECT_GE(clock.elapsed_ms(), 4000);
    EXPECT_LE(clock.elapsed_ms(), 5000 + 257);
  }
  EXPECT_EQ(outcome(EXCHANGE_TIMEOUT), OUTCOME_FAILED);
  EXPECT_STREQ(text, "serial port timeout during transmission, error!\r\n");
}

TEST_F(Timeout, TheWaitCrossesTheMinute) {
  start_with_one_queued();
  clock.set_second(57);
  std::vector<int> seconds_read;
  line.set_read_hook([&] {
    seconds_read.push_back(clock.second());
    clock.advance(1);
  });

  EXPECT_EQ(exchange(), EXCHANGE_TIMEOUT);
  EXPECT_EQ(seconds_read, (std::vector<int>{57, 58, 59, 0, 1}));
  EXPECT_EQ(clock.second(), 2);
}

// Seconds of a minute that ends in a leap second, one per call.
uint8_t leap_minute() {
  static const uint8_t seconds[] = {60, 0, 1, 2, 3, 4, 5, 6};
  static size_t next = 0;
  return seconds[next < sizeof seconds - 1 ? next++ : next];
}

TEST_F(Timeout, AWaitThatStartsInALeapSecond) {
  start_with_one_queued();
  const LinkClock fake = link_set_clock(leap_minute);
  EXPECT_EQ(exchange(), EXCHANGE_TIMEOUT);
  link_set_clock(fake);
  EXPECT_EQ(line.read_count(), 6u); // seconds 0 to 4 wait, 5 is the deadline
}

TEST_F(Timeout, StrayBytesAndPartialFramesDoNotRestartTheWait) {
  start_with_one_queued();
  for (int i = 0; i < 20; ++i) {
    line.push_read(Bytes(30, 0xA5));
  }
  EXPECT_EQ(exchange(), EXCHANGE_TIMEOUT);
  EXPECT_EQ(line.read_count(), 5u);

  start_with_one_queued();
  const Bytes ack = wire_ack(1);
  for (size_t i = 0; i + 1 < ack.size(); ++i) {
    line.push_read({ack[i]});
  }
  EXPECT_EQ(exchange(), EXCHANGE_TIMEOUT);
  EXPECT_EQ(line.read_count(), 10u);
  EXPECT_EQ(line.writes().size(), 2u);
}

TEST_F(Timeout, ARetransmissionGivesTheControllerFiveSecondsMore) {
  start_with_one_queued();
  line.push_read({});
  line.push_read({});
  line.push_read(wire_nak());

  EXPECT_EQ(exchange(), EXCHANGE_TIMEOUT);
  // Three reads up to the refusal, then a whole new wait of five.
  EXPECT_EQ(line.read_count(), 8u);
  EXPECT_EQ(line.writes().size(), 2u);
}

TEST_F(Timeout, WallClockSecondsAreInRange) {
  const LinkClock fake = link_set_clock(nullptr);
  for (int i = 0; i < 3; ++i) {
    EXPECT_LE(current_second(), 60);
  }
  link_set_clock(fake);
  clock.set_second(33);
  EXPECT_EQ(current_second(), 33);
}

} // namespace
