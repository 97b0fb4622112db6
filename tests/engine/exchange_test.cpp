#include <vector>

#include "tests/engine/engine_fixture.h"

namespace {

using Exchange = EngineTest;

TEST_F(Exchange, FirstMessageGoesOutAtOnceWithoutReading) {
  ctx.sequence = 41;
  queue_progress(0);
  line.push_read(wire_ack(42));

  EXPECT_EQ(link_exchange(&ctx, &port, 1, /*cancel*/ 1), EXCHANGE_OK);

  ASSERT_EQ(line.writes().size(), 1u);
  EXPECT_EQ(line.writes()[0], wire_frame(42, CMD_PROGRESS, {0}));
  EXPECT_EQ(line.read_count(), 0u);
  EXPECT_EQ(ctx.sequence, 0);
  EXPECT_EQ(ctx.previous.sequence, 0xFF);
  EXPECT_EQ(outcome(EXCHANGE_OK), OUTCOME_CONTINUE);
  EXPECT_STREQ(text, "");
}

TEST_F(Exchange, AcknowledgementSendsTheQueuedMessageInTheSamePass) {
  queue_erase(0x4000, 0x4000);
  ASSERT_EQ(start(), EXCHANGE_OK);
  queue_progress(5);
  line.push_read(wire_ack(1, 0));

  EXPECT_EQ(exchange(), EXCHANGE_OK);

  ASSERT_EQ(line.writes().size(), 2u);
  EXPECT_EQ(line.writes()[1], wire_frame(1, CMD_PROGRESS, {5}));
  EXPECT_EQ(line.read_count(), 1u);
  EXPECT_EQ(ctx.previous.command, CMD_ERASE);
  EXPECT_EQ(outcome(EXCHANGE_OK), OUTCOME_CONTINUE);
  EXPECT_STREQ(text, "");
}

TEST_F(Exchange, DeviceErrorIsReportedWithTheAcknowledgedMessageAfterTheNextWentOut) {
  ctx.sequence = 4;
  queue_erase(0x4000, 16384);
  ASSERT_EQ(start(), EXCHANGE_OK);
  queue_progress(1);
  line.push_read(wire_ack(12, 7));

  EXPECT_EQ(exchange(), EXCHANGE_OK);

  EXPECT_EQ(line.writes().size(), 2u);
  EXPECT_EQ(outcome(EXCHANGE_OK), OUTCOME_FAILED);
  EXPECT_STREQ(text, "ORVA had an internal error(7)!\r\n"
                     "Message id 12/5, type erase: offset address 0x00004000 size 16384 bytes\r\n");
}

TEST_F(Exchange, RefusalsRetransmitWithFreshNumbersUntilTheFourthStopsTheLink) {
  queue_erase(0x4000, 0x4000);
  ASSERT_EQ(start(), EXCHANGE_OK);
  queue_progress(1); // takes number 1
  for (int i = 0; i < 4; ++i) {
    line.push_read(wire_nak());
  }

  EXPECT_EQ(exchange(), EXCHANGE_STOPPED);

  const auto writes = line.writes();
  ASSERT_EQ(writes.size(), 4u);
  for (uint8_t n = 2; n <= 4; ++n) {
    EXPECT_EQ(writes[n - 1], wire_frame(n, CMD_ERASE, erase_payload(0x4000, 0x4000)));
  }
  EXPECT_EQ(line.read_count(), 4u);
  EXPECT_EQ(ctx.status, LINK_RETRIES_EXHAUSTED);
  EXPECT_EQ(outcome(EXCHANGE_STOPPED), OUTCOME_FAILED);
  EXPECT_STREQ(text, "retransmission failed after multiple retries, error!\r\n");
}

TEST_F(Exchange, AnyKnownCommandOtherThanAcknowledgementIsARefusal) {
  start_with_one_queued();
  line.push_read(wire_frame(9, CMD_PROGRAM, {1, 2, 3}));
  line.push_read(wire_ack(2));

  EXPECT_EQ(exchange(), EXCHANGE_OK);

  const auto writes = line.writes();
  ASSERT_EQ(writes.size(), 3u);
  EXPECT_EQ(writes[1], wire_frame(2, CMD_PROGRESS, {0}));
  EXPECT_EQ(writes[2], wire_frame(1, CMD_PROGRESS, {1}));
  EXPECT_EQ(ctx.retries_left, LINK_RETRIES);
}

TEST_F(Exchange, CancelIsHonouredBeforeAnyRead) {
  start_with_one_queued();
  line.push_read(wire_ack(1));

  EXPECT_EQ(exchange(/*cancel*/ 1), EXCHANGE_CANCELLED);

  EXPECT_EQ(line.read_count(), 0u);
  EXPECT_EQ(line.pending_reads(), 1u);
  EXPECT_EQ(line.writes().size(), 1u);
  EXPECT_EQ(outcome(EXCHANGE_CANCELLED), OUTCOME_FAILED);
  EXPECT_STREQ(text, "user canceled transmission, upgrade not complete!\r\n");
}

TEST_F(Exchange, NothingQueuedReturnsAfterOneRead) {
  queue_progress(0);
  ASSERT_EQ(start(), EXCHANGE_OK);

  EXPECT_EQ(exchange(), EXCHANGE_OK); // silence
  EXPECT_EQ(line.read_count(), 1u);
  EXPECT_EQ(ctx.status, LINK_RUNNING);

  line.push_read(wire_ack(1));
  EXPECT_EQ(exchange(), EXCHANGE_OK); // the answer
  EXPECT_EQ(line.read_count(), 2u);
  EXPECT_EQ(ctx.status, LINK_DONE);
  EXPECT_EQ(line.writes().size(), 1u);
}

TEST_F(Exchange, TwoAcknowledgementsInOneReadFinishTheLink) {
  start_with_one_queued();
  line.push_read(wire_join({wire_ack(1), wire_ack(1)}));

  EXPECT_EQ(exchange(), EXCHANGE_OK);
  EXPECT_EQ(line.writes().size(), 2u);
  EXPECT_EQ(ctx.status, LINK_DONE);
  EXPECT_EQ(ctx.ack_count, 2u);

  queue_progress(2);
  EXPECT_EQ(exchange(), EXCHANGE_STOPPED);
  EXPECT_EQ(line.read_count(), 1u);
  EXPECT_EQ(outcome(EXCHANGE_STOPPED), OUTCOME_FINISHED);
  EXPECT_STREQ(text, "transmission done, success!\r\n");
}

TEST_F(Exchange, MalformedAnswersStopTheLinkWithoutRetransmission) {
  struct Case {
    Bytes answer;
    const char* text;
  };
  Bytes bad_checksum = wire_nak();
  bad_checksum[5] ^= 0x40;
  Bytes no_etx = wire_ack(1);
  no_etx.back() = 0x02;
  const Case cases[] = {
      {{0x02, 0x01, 0x41, 0x00, 0x02, 0x01, 0x00, 0x42, 0x03},
       "unknown message format error(2)!\r\n"},
      {{0x02, 0x01, 0x06, 0x01, 0x08}, "unknown message format error(3)!\r\n"},
      {bad_checksum, "unknown message format error(4)!\r\n"},
      {no_etx, "unknown message format error(5)!\r\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    line.clear_writes();
    start_with_one_queued();
    line.push_read(c.answer);

    EXPECT_EQ(exchange(), EXCHANGE_STOPPED);
    EXPECT_EQ(line.writes().size(), 1u);
    EXPECT_EQ(outcome(EXCHANGE_STOPPED), OUTCOME_FAILED);
    EXPECT_STREQ(text, c.text);
  }
}

TEST_F(Exchange, FrameSplitOverTwoReadsIsAnsweredInTheSecondPass) {
  start_with_one_queued();
  const Bytes ack = wire_ack(1);
  line.push_read(Bytes(ack.begin(), ack.begin() + 4));
  line.push_read(Bytes(ack.begin() + 4, ack.end()));

  EXPECT_EQ(exchange(), EXCHANGE_OK);
  EXPECT_EQ(line.read_count(), 2u);
  EXPECT_EQ(line.writes().size(), 2u);
}

// A port may end a read early once the engine finds the bytes in hand a
// complete answer; the bytes are then handled exactly as before.
TEST_F(Exchange, AReadMayEndEarlyOnlyOnceItsBytesEndAnAnswer) {
  struct Case {
    const char* name;
    std::vector<Bytes> reads;
    std::vector<bool> verdicts;
    size_t writes;
  };
  const Bytes ack = wire_ack(1);
  const Bytes head(ack.begin(), ack.begin() + 4);
  // Cut early in a long payload, the parser would lose its place if judging
  // the pieces disturbed it.
  const Bytes longer = wire_frame(0, CMD_ACK, {1, 0, 0, 0, 0, 0});
  const Bytes cut(longer.begin(), longer.begin() + 6);
  const Bytes rest(longer.begin() + 6, longer.end());
  const Bytes noise(20, 0x55);
  Bytes bad_checksum = wire_ack(1);
  bad_checksum[7] ^= 0x01;
  const Case cases[] = {
      {"whole answer", {ack}, {true}, 2},
      {"answer cut inside its payload", {cut, rest}, {false, true}, 2},
      {"noise around an answer", {wire_join({noise, ack, noise})}, {true}, 2},
      {"noise alone, then the answer", {noise, ack}, {false, true}, 2},
      {"answer and the start of another", {wire_join({ack, head})}, {false}, 2},
      {"two answers", {wire_join({ack, ack})}, {true}, 2},
      {"refusal, then the answer", {wire_nak(), ack}, {true, true}, 3},
      {"malformed answer", {bad_checksum}, {true}, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    line.clear_writes();
    start_with_one_queued();
    for (const Bytes& read : c.reads) {
      line.push_read(read);
    }

    exchange();

    EXPECT_EQ(line.verdicts(), c.verdicts);
    EXPECT_EQ(line.writes().size(), c.writes);
    EXPECT_EQ(line.pending_reads(), 0u);
  }
}

TEST_F(Exchange, StrayBytesAroundAFrameDoNotDisturbIt) {
  start_with_one_queued();
  Bytes noise(200, 0x55);
  line.push_read(wire_join({noise, wire_ack(1, 0), noise}));

  EXPECT_EQ(exchange(), EXCHANGE_OK);
  EXPECT_EQ(line.writes().size(), 2u);
  EXPECT_EQ(link_stray_count, 0);
}

TEST_F(Exchange, PortFailuresEndTheExchangeAtOnce) {
  queue_progress(0);
  line.fail_writes(true);
  EXPECT_EQ(start(), EXCHANGE_WRITE_ERROR);
  line.fail_writes(false);
  ASSERT_EQ(start(), EXCHANGE_OK);

  queue_progress(1);
  line.fail_reads(true);
  EXPECT_EQ(exchange(), EXCHANGE_READ_ERROR);
  EXPECT_EQ(outcome(EXCHANGE_READ_ERROR), OUTCOME_FAILED);
  EXPECT_STREQ(text, "serial port read error!\r\n");

  line.fail_reads(false);
  line.fail_writes(true);
  line.push_read(wire_ack(1));
  EXPECT_EQ(exchange(), EXCHANGE_WRITE_ERROR);
  EXPECT_EQ(outcome(EXCHANGE_WRITE_ERROR), OUTCOME_FAILED);
  EXPECT_STREQ(text, "serial port write error!\r\n");
}

TEST_F(Exchange, MissingContextOrPortIsAParameterError) {
  const PortHandle none = 0;
  EXPECT_EQ(link_exchange(nullptr, &port, 1, 0), EXCHANGE_BAD_PARAMETER);
  EXPECT_EQ(link_exchange(&ctx, nullptr, 1, 0), EXCHANGE_BAD_PARAMETER);
  EXPECT_EQ(link_exchange(&ctx, &none, 1, 0), EXCHANGE_BAD_PARAMETER);
  EXPECT_EQ(link_exchange(&ctx, &none, 0, 0), EXCHANGE_BAD_PARAMETER);
  EXPECT_EQ(line.writes().size(), 0u);
  EXPECT_EQ(line.read_count(), 0u);
  EXPECT_EQ(link_start(nullptr, link_tx_area), 0);
  EXPECT_EQ(link_process_input(&ctx, nullptr, 10, link_tx_area), 0);
}

TEST_F(Exchange, FinalStatesIgnoreFurtherInputUntilTheNextStart) {
  queue_progress(0);
  ASSERT_EQ(start(), EXCHANGE_OK);
  ctx.status = LINK_FORMAT_ERROR;
  const Bytes ack = wire_ack(1);
  EXPECT_EQ(link_process_input(&ctx, ack.data(), static_cast<int16_t>(ack.size()), link_tx_area),
            0);
  EXPECT_EQ(ctx.ack_count, 0u);

  queue_progress(1);
  ASSERT_EQ(start(), EXCHANGE_OK);
  EXPECT_EQ(ctx.status, LINK_RUNNING);
  EXPECT_EQ(ctx.error, 0);
}

} // namespace
