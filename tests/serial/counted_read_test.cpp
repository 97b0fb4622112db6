// The Windows read that ends when the answer is complete, over a driver that
// records what each read asks for: it must never ask for bytes the answer
// does not need, nor read on once the answer is in hand.
#include <gtest/gtest.h>

#include <algorithm>
#include <deque>
#include <vector>

#include "link/answer_in_hand.h"
#include "link/link_records.h"
#include "serial/counted_read.h"
#include "tests/support/wire.h"

namespace {

// Completes a read on count when it holds the bytes; asked for more than it
// holds, it waits for the line to go quiet after them (counted) or, holding
// none, for its whole time-out with nothing.
class RecordingDriver final : public CountedDriver {
public:
  explicit RecordingDriver(const Bytes& held) : held_(held.begin(), held.end()) {}

  bool read(uint8_t* buffer, size_t count, size_t* got) override {
    asked.push_back(count);
    if (held_.empty()) {
      clock_ms += count + 1;
    } else if (held_.size() < count) {
      ++quiet_waits;
      clock_ms += 1;
    }
    *got = std::min(count, held_.size());
    std::copy_n(held_.begin(), *got, buffer);
    held_.erase(held_.begin(), held_.begin() + static_cast<long>(*got));
    return true;
  }
  bool queued(size_t* count) override {
    *count = held_.size();
    return true;
  }
  uint64_t now_ms() override { return clock_ms; }

  std::vector<size_t> asked;
  int quiet_waits = 0;
  uint64_t clock_ms = 1000;

private:
  std::deque<uint8_t> held_;
};

struct Read {
  bool ok = false;
  Bytes bytes;
};

Read read_answer(RecordingDriver& driver) {
  LinkContext ctx{};
  ctx.rx_state = RX_WAIT_STX;
  const AnswerInHand check(&ctx);
  uint8_t buffer[LINK_READ_SIZE];
  size_t got = 0;
  Read read;
  read.ok = counted_read_until(driver, buffer, sizeof buffer, &got, check);
  read.bytes.assign(buffer, buffer + got);
  return read;
}

} // namespace

TEST(CountedRead, AnAnswerInHandEndsTheReadWithoutWaiting) {
  const Bytes ack = wire_ack(7);
  RecordingDriver driver(ack);
  const Read read = read_answer(driver);
  ASSERT_TRUE(read.ok);
  EXPECT_EQ(read.bytes, ack);
  // A whole empty frame first, then the rest the driver already holds.
  EXPECT_EQ(driver.asked, (std::vector<size_t>{FRAME_OVERHEAD, ack.size() - FRAME_OVERHEAD}));
  EXPECT_EQ(driver.quiet_waits, 0);
}

TEST(CountedRead, ABurstOfAnswersStaysInOneRead) {
  const Bytes burst = wire_join({wire_ack(7), wire_ack(8)});
  RecordingDriver driver(burst);
  const Read read = read_answer(driver);
  ASSERT_TRUE(read.ok);
  EXPECT_EQ(read.bytes, burst);
  EXPECT_EQ(driver.asked.size(), 2u);
  EXPECT_EQ(driver.quiet_waits, 0);
}

TEST(CountedRead, AFrameCutShortOrNoiseEndsWhenTheLineGoesQuiet) {
  const Bytes ack = wire_ack(7);
  for (const Bytes& partial : {Bytes(ack.begin(), ack.end() - 2), Bytes{0x55, 0x13}}) {
    RecordingDriver driver(partial);
    const Read read = read_answer(driver);
    ASSERT_TRUE(read.ok);
    EXPECT_EQ(read.bytes, partial);
    // One read's time-out at most, not the wait for a first byte.
    EXPECT_LE(driver.clock_ms - 1000, FRAME_OVERHEAD + 1u);
  }
}

TEST(CountedRead, SilenceEndsAfterTheWholeTimeOutWithNothing) {
  RecordingDriver driver(Bytes{});
  const Read read = read_answer(driver);
  ASSERT_TRUE(read.ok);
  EXPECT_TRUE(read.bytes.empty());
  EXPECT_GE(driver.clock_ms - 1000, LINK_READ_SIZE + 1u);
  EXPECT_LT(driver.clock_ms - 1000, LINK_READ_SIZE + 1u + FRAME_OVERHEAD + 1u);
}
