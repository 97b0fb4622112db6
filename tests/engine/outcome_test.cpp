#include <cstring>

#include "tests/engine/engine_fixture.h"

namespace {

class Outcome : public EngineTest {
protected:
  // The state after an exchange in which `acknowledged` was acknowledged
  // with (id, error) and moved to `previous`.
  void acknowledged_with(uint8_t id, uint8_t error, uint8_t sequence) {
    ctx.ack_count = 1;
    ctx.received.command = CMD_ACK;
    ctx.received.payload[0] = id;
    ctx.received.payload[1] = error;
    ctx.previous = ctx.current;
    ctx.previous.sequence = sequence;
  }
  void in_flight_erase(uint32_t address, uint32_t size) {
    msg_erase_encode(&ctx, link_tx_area, address, size);
  }
};

TEST_F(Outcome, FailuresOfTheExchangeItself) {
  const struct {
    uint8_t result;
    const char* text;
  } rows[] = {
      {EXCHANGE_BAD_PARAMETER, "internal parameter error!\r\n"},
      {EXCHANGE_READ_ERROR, "serial port read error!\r\n"},
      {EXCHANGE_WRITE_ERROR, "serial port write error!\r\n"},
      {EXCHANGE_TIMEOUT, "serial port timeout during transmission, error!\r\n"},
      {EXCHANGE_CANCELLED, "user canceled transmission, upgrade not complete!\r\n"},
      {0, "transmission ended in unexpected state error!\r\n"},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(outcome(row.result), OUTCOME_FAILED);
    EXPECT_STREQ(text, row.text);
    EXPECT_EQ(link_outcome(nullptr, static_cast<int8_t>(row.result), text), OUTCOME_FAILED);
    EXPECT_STREQ(text, row.text);
  }
}

TEST_F(Outcome, StoppedLinkByStatus) {
  const struct {
    uint8_t status;
    uint8_t error;
    int8_t code;
    const char* text;
  } rows[] = {
      {LINK_RUNNING, 0, OUTCOME_FAILED, "transmission pending in internal state error!\r\n"},
      {LINK_FORMAT_ERROR, 3, OUTCOME_FAILED, "unknown message format error(3)!\r\n"},
      {LINK_FORMAT_ERROR, 0xFB, OUTCOME_FAILED, "unknown message format error(-5)!\r\n"},
      {LINK_RETRIES_EXHAUSTED, 0, OUTCOME_FAILED,
       "retransmission failed after multiple retries, error!\r\n"},
      {LINK_DONE, 0, OUTCOME_FINISHED, "transmission done, success!\r\n"},
      {4, 0, OUTCOME_FAILED, "other error (4)!!!\r\n"},
      {200, 0, OUTCOME_FAILED, "other error (200)!!!\r\n"},
  };
  for (const auto& row : rows) {
    ctx.status = row.status;
    ctx.error = row.error;
    EXPECT_EQ(outcome(EXCHANGE_STOPPED), row.code);
    EXPECT_STREQ(text, row.text);
  }
  EXPECT_EQ(link_outcome(nullptr, EXCHANGE_STOPPED, text), OUTCOME_FAILED);
  EXPECT_STREQ(text, "");
}

TEST_F(Outcome, UnknownResultsFailWithoutText) {
  for (int result = -128; result < 128; ++result) {
    if (result >= -5 && result <= 2) {
      continue;
    }
    std::strcpy(text, "stale");
    EXPECT_EQ(link_outcome(&ctx, static_cast<int8_t>(result), text), OUTCOME_FAILED) << result;
    EXPECT_STREQ(text, "") << result;
  }
  EXPECT_EQ(link_outcome(&ctx, EXCHANGE_OK, nullptr), OUTCOME_FAILED);
}

TEST_F(Outcome, AcknowledgementWithoutErrorGoesOn) {
  EXPECT_EQ(link_outcome(nullptr, EXCHANGE_OK, text), OUTCOME_CONTINUE);
  EXPECT_STREQ(text, "");
  acknowledged_with(3, 7, 3);
  ctx.ack_count = 0; // the first message of a run has no acknowledgement yet
  EXPECT_EQ(outcome(EXCHANGE_OK), OUTCOME_CONTINUE);
  acknowledged_with(3, 0, 3);
  EXPECT_EQ(outcome(EXCHANGE_OK), OUTCOME_CONTINUE);
  EXPECT_STREQ(text, "");
}

TEST_F(Outcome, DeviceErrorDescribesTheAcknowledgedMessage) {
  msg_progress_encode(&ctx, link_tx_area, 42);
  acknowledged_with(255, 200, 254);
  EXPECT_EQ(outcome(EXCHANGE_OK), OUTCOME_FAILED);
  EXPECT_STREQ(text, "ORVA had an internal error(200)!\r\n"
                     "Message id 255/254, type progress: procent 42\r\n");

  msg_jump_encode(&ctx, link_tx_area, 0x4000);
  acknowledged_with(9, 1, 9);
  EXPECT_EQ(outcome(EXCHANGE_OK), OUTCOME_FAILED);
  EXPECT_STREQ(text, "ORVA had an internal error(1)!\r\n"
                     "Message id 9/9, type jump: offset address 0x00004000\r\n");

  Bytes chunk(256, 0xEE);
  msg_program_encode(&ctx, link_tx_area, 0x2FF00, chunk.data(), 256);
  acknowledged_with(6, 3, 6);
  EXPECT_EQ(outcome(EXCHANGE_OK), OUTCOME_FAILED);
  EXPECT_STREQ(text, "ORVA had an internal error(3)!\r\n"
                     "Message id 6/6, type program: offset address 0x0002ff00 size 256 bytes\r\n");
}

TEST_F(Outcome, DetailIsLeftOutWhenItWouldSayNothing) {
  in_flight_erase(0x4000, 1);
  acknowledged_with(2, 9, 2);
  EXPECT_EQ(outcome(EXCHANGE_OK), OUTCOME_FAILED);
  EXPECT_STREQ(text, "ORVA had an internal error(9)!\r\nMessage id 2/2, type ");

  Bytes chunk(1, 0);
  msg_program_encode(&ctx, link_tx_area, 0x4000, chunk.data(), 1);
  ctx.current.payload[4] = 0x01; // a byte count of 300 decodes as none
  ctx.current.payload[5] = 0x2C;
  acknowledged_with(2, 9, 2);
  EXPECT_EQ(outcome(EXCHANGE_OK), OUTCOME_FAILED);
  EXPECT_STREQ(text, "ORVA had an internal error(9)!\r\nMessage id 2/2, type ");

  ctx.current.command = CMD_NAK;
  acknowledged_with(2, 9, 2);
  EXPECT_EQ(outcome(EXCHANGE_OK), OUTCOME_FAILED);
  EXPECT_STREQ(text, "ORVA had an internal error(9)!\r\nMessage id 2/2, type ");
}

TEST_F(Outcome, HugeEraseSizesPrintSigned) {
  in_flight_erase(0xFFFFC000, 0x80000000);
  acknowledged_with(1, 1, 1);
  EXPECT_EQ(outcome(EXCHANGE_OK), OUTCOME_FAILED);
  EXPECT_STREQ(text,
               "ORVA had an internal error(1)!\r\n"
               "Message id 1/1, type erase: offset address 0xffffc000 size -2147483648 bytes\r\n");
}

} // namespace
