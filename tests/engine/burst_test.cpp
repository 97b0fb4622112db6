// Several answers in one read: whatever arrives, one call replies with at
// most one frame, the latest copy of the message in flight, and every answer
// still counts.
#include <cstring>
#include <random>

#include "tests/engine/engine_fixture.h"

namespace {

class Burst : public EngineTest {
protected:
  // Program messages are the longest frames: 269 bytes.
  void start_with_program_queued() {
    queue_program(0x4000, 256);
    ASSERT_EQ(start(), EXCHANGE_OK);
    queue_program(0x4100, 256);
  }

  static Bytes repeated(const Bytes& frame, size_t room = LINK_READ_SIZE) {
    Bytes all;
    while (all.size() + frame.size() <= room) {
      all.insert(all.end(), frame.begin(), frame.end());
    }
    return all;
  }
};

TEST_F(Burst, RefusalsCollapseToTheLastRetransmissionAndStillCount) {
  start_with_program_queued();
  line.push_read(repeated(wire_nak())); // 36 refusals

  EXPECT_EQ(exchange(), EXCHANGE_STOPPED);

  const auto writes = line.writes();
  ASSERT_EQ(writes.size(), 2u);
  EXPECT_EQ(writes[1].size(), LINK_MAX_FRAME);
  EXPECT_EQ(writes[1][1], 4); // three retransmissions were numbered 2, 3, 4
  EXPECT_EQ(written_payload(1), written_payload(0));
  EXPECT_EQ(ctx.retries_left, 0);
  EXPECT_EQ(ctx.status, LINK_RETRIES_EXHAUSTED);
}

TEST_F(Burst, RefusalsAroundAnAcknowledgementSendOnlyTheNewMessage) {
  start_with_program_queued();
  line.push_read(wire_join({wire_nak(), wire_nak(), wire_ack(1), wire_nak()}));

  EXPECT_EQ(exchange(), EXCHANGE_OK);

  const auto writes = line.writes();
  ASSERT_EQ(writes.size(), 2u);
  EXPECT_EQ(writes[1][1], 4); // the new message, retransmitted once under number 4
  EXPECT_EQ(written_payload(1)[3], 0x00);
  EXPECT_EQ(written_payload(1)[2], 0x41);
  EXPECT_EQ(ctx.previous.sequence, 3);
  EXPECT_EQ(ctx.retries_left, LINK_RETRIES - 1);
  EXPECT_EQ(ctx.ack_count, 1u);
}

TEST_F(Burst, AcknowledgementsSendTheQueuedMessageOnceAndFinish) {
  start_with_program_queued();
  line.push_read(repeated(wire_ack(1)));

  EXPECT_EQ(exchange(), EXCHANGE_OK);
  EXPECT_EQ(line.writes().size(), 2u);
  EXPECT_EQ(ctx.status, LINK_DONE);
  EXPECT_EQ(exchange(), EXCHANGE_STOPPED);
}

TEST_F(Burst, NoCallWritesPastOneFrame) {
  constexpr size_t guard = 64;
  uint8_t out[LINK_TX_AREA_SIZE + guard];
  std::mt19937 random(12345);
  const Bytes pieces[] = {
      wire_ack(1), wire_ack(1, 7), wire_nak(), wire_frame(3, CMD_ERASE, {1}), {0x55, 0x02}};
  for (int round = 0; round < 2000; ++round) {
    std::memset(out, 0xCD, sizeof out);
    queue_program(0x4000, 256);
    link_start(&ctx, out);
    queue_program(0x4100, 256);
    Bytes input;
    while (input.size() < LINK_READ_SIZE) {
      const Bytes& piece = pieces[random() % 5];
      input.insert(input.end(), piece.begin(), piece.end());
    }
    input.resize(LINK_READ_SIZE);

    const int16_t produced =
        link_process_input(&ctx, input.data(), static_cast<int16_t>(input.size()), out);

    ASSERT_GE(produced, 0);
    ASSERT_LE(produced, LINK_MAX_FRAME);
    for (size_t i = LINK_MAX_PAYLOAD + FRAME_OVERHEAD; i < sizeof out; ++i) {
      ASSERT_EQ(out[i], 0xCD) << "round " << round;
    }
  }
}

TEST_F(Burst, ExchangesOverBurstyLinesStayInBounds) {
  std::mt19937 random(777);
  for (int round = 0; round < 300; ++round) {
    line.clear_writes();
    queue_program(0x4000, 256);
    ASSERT_EQ(start(), EXCHANGE_OK);
    for (int message = 0; message < 4 && ctx.status == LINK_RUNNING; ++message) {
      queue_program(0x4100, static_cast<uint16_t>(1 + random() % 256));
      Bytes burst;
      while (burst.size() < 250) {
        const Bytes piece = random() % 3 ? wire_nak() : wire_ack(1);
        burst.insert(burst.end(), piece.begin(), piece.end());
      }
      line.push_read(burst);
      const uint8_t result = exchange();
      ASSERT_TRUE(result == EXCHANGE_OK || result == EXCHANGE_STOPPED ||
                  result == EXCHANGE_TIMEOUT);
    }
    for (const Bytes& frame : line.writes()) {
      ASSERT_LE(frame.size(), LINK_MAX_FRAME);
    }
  }
}

} // namespace
