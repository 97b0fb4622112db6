// Every fault produces exactly the bytes it promises, and the upgrader's
// parser reads them as the fault intends.
#include <gtest/gtest.h>

#include "link/frame.h"
#include "sim/sim_line.h"
#include "sim_test_util.h"

namespace {

SimConfig with_fault(SimFaultKind kind, uint32_t request, uint32_t count = 1, uint8_t code = 0) {
  SimConfig config;
  config.faults.push_back(SimFault{kind, request, count, code});
  return config;
}

// Answers to request 2, an erase that follows the run's first progress message.
Bytes answer_to_second(SimController& sim) {
  HostFrames host;
  ask(sim, host.progress(1, 0));
  return ask(sim, host.erase(1, 0x4000, 0x4000));
}

Bytes answer_to_second(const SimConfig& config) {
  SimController sim(config);
  return answer_to_second(sim);
}

uint8_t product_verdict(const Bytes& answer) {
  LinkContext ctx{};
  int16_t pos = 0;
  uint8_t stray[LINK_STRAY_AREA_SIZE];
  int16_t stray_count = 0;
  uint8_t result = PARSE_MORE;
  while (result == PARSE_MORE && pos < static_cast<int16_t>(answer.size())) {
    result = frame_parse(&ctx, answer.data(), &pos, static_cast<int16_t>(answer.size()), stray,
                         &stray_count);
  }
  return result;
}

TEST(SimFaults, MalformedAcknowledgements) {
  const Bytes ack = hex_bytes("02 01 06 00 02 01 00 04 03");
  EXPECT_EQ(answer_to_second(SimConfig()), ack);
  EXPECT_EQ(product_verdict(ack), PARSE_FRAME);

  const Bytes bad_sum = answer_to_second(with_fault(SimFaultKind::bad_checksum, 2));
  EXPECT_EQ(bad_sum, hex_bytes("02 01 06 00 02 01 00 fb 03"));
  EXPECT_EQ(product_verdict(bad_sum), PARSE_BAD_CHECKSUM);

  const Bytes bad_cmd = answer_to_second(with_fault(SimFaultKind::bad_command, 2));
  EXPECT_EQ(bad_cmd, hex_bytes("02 01 41 00 02 01 00 43 03"));
  EXPECT_EQ(product_verdict(bad_cmd), PARSE_BAD_COMMAND);

  const Bytes no_etx = answer_to_second(with_fault(SimFaultKind::no_etx, 2));
  EXPECT_EQ(no_etx, hex_bytes("02 01 06 00 02 01 00 04 00"));
  EXPECT_EQ(product_verdict(no_etx), PARSE_NO_ETX);

  const Bytes too_long = answer_to_second(with_fault(SimFaultKind::bad_length, 2));
  ASSERT_EQ(too_long.size(), 264u + 7u);
  EXPECT_EQ(Bytes(too_long.begin(), too_long.begin() + 7), hex_bytes("02 01 06 01 08 01 00"));
  EXPECT_EQ(Bytes(too_long.end() - 2, too_long.end()), hex_bytes("0f 03"));
  EXPECT_EQ(product_verdict(too_long), PARSE_BAD_LENGTH);
}

TEST(SimFaults, DeviceErrorIsAcknowledgedAndNotCarriedOut) {
  SimController sim(with_fault(SimFaultKind::device_error, 2, 1, 7));
  EXPECT_EQ(answer_to_second(sim), hex_bytes("02 01 06 00 02 01 07 03 03"));
  // The erase did not happen, so programming the block is refused.
  HostFrames host;
  EXPECT_EQ(ask(sim, host.program(2, 0x4000, {0xAB})), hex_bytes("02 02 06 00 02 02 02 06 03"));
}

TEST(SimFaults, DoubleAcknowledgementComesInOneWrite) {
  std::vector<SimAnswer> answers;
  SimController doubled(with_fault(SimFaultKind::double_ack, 2));
  HostFrames host;
  ask(doubled, host.progress(1, 0));
  const Bytes both = ask(doubled, host.erase(1, 0x4000, 0x4000), &answers);
  ASSERT_EQ(answers.size(), 1u);
  EXPECT_EQ(both, hex_bytes("02 01 06 00 02 01 00 04 03 02 01 06 00 02 01 00 04 03"));
}

TEST(SimFaults, RefusalsCoverTheirRangeAndCarryNothingOut) {
  SimController sim(with_fault(SimFaultKind::refuse, 2, 2));
  HostFrames host;
  EXPECT_EQ(ask(sim, host.progress(1, 0)), hex_bytes("02 01 06 00 02 01 00 04 03"));
  EXPECT_EQ(ask(sim, host.erase(1, 0x4000, 0x4000)), hex_bytes("02 01 15 00 00 14 03"));
  EXPECT_EQ(ask(sim, host.erase(3, 0x4000, 0x4000)), hex_bytes("02 03 15 00 00 16 03"));
  // Neither refused erase happened.
  EXPECT_EQ(ask(sim, host.program(2, 0x4000, {1})), hex_bytes("02 02 06 00 02 02 02 06 03"));
  EXPECT_EQ(ask(sim, host.erase(4, 0x4000, 0x4000)), hex_bytes("02 04 06 00 02 04 00 04 03"));
}

TEST(SimFaults, SilenceAndADroppedLine) {
  SimController silent(with_fault(SimFaultKind::silent, 2));
  HostFrames host;
  EXPECT_FALSE(ask(silent, host.progress(1, 0)).empty());
  EXPECT_TRUE(ask(silent, host.erase(1, 0x4000, 0x4000)).empty());
  EXPECT_TRUE(ask(silent, host.progress(2, 1)).empty());
  EXPECT_EQ(silent.report().frames.size(), 3u);

  SimLine line(with_fault(SimFaultKind::close_line, 2));
  const Bytes first = host.progress(1, 0);
  const Bytes second = host.erase(1, 0x4000, 0x4000);
  ASSERT_TRUE(line.write(first.data(), first.size()));
  EXPECT_TRUE(line.write(second.data(), second.size())); // the request itself left the host
  uint8_t buffer[256];
  size_t got = 99;
  EXPECT_FALSE(line.read(buffer, sizeof buffer, &got));
  EXPECT_EQ(got, 0u);
  EXPECT_FALSE(line.write(first.data(), first.size()));
  EXPECT_TRUE(line.closed());
}

TEST(SimFaults, StrayBytesNeverHoldAnStxAndPrecedeEveryAnswer) {
  SimConfig config;
  config.stray_bytes = 300;
  SimController sim(config);
  HostFrames host;
  const Bytes answer = ask(sim, host.progress(1, 0));
  ASSERT_EQ(answer.size(), 300u + 9u);
  for (size_t i = 0; i < 300; ++i) {
    ASSERT_NE(answer[i], SIM_STX);
  }
  EXPECT_EQ(Bytes(answer.begin(), answer.begin() + 4), hex_bytes("00 03 06 15"));
  EXPECT_EQ(Bytes(answer.end() - 9, answer.end()), hex_bytes("02 01 06 00 02 01 00 04 03"));
  SimConfig refusing = config;
  refusing.faults.push_back(SimFault{SimFaultKind::refuse, 2, 1, 0});
  SimController sim2(refusing);
  ask(sim2, host.progress(1, 0));
  const Bytes nak = ask(sim2, host.progress(2, 1));
  EXPECT_EQ(Bytes(nak.end() - 7, nak.end()), hex_bytes("02 02 15 00 00 17 03"));
  EXPECT_EQ(nak.size(), 307u);
}

TEST(SimFaults, ByteAtATimeReachesTheHostOneBytePerRead) {
  SimConfig config;
  config.byte_at_a_time = true;
  SimLine line(config);
  int reads = 0;
  line.set_read_hook([&reads] { ++reads; });
  HostFrames host;
  const Bytes a = host.progress(1, 0);
  const Bytes b = host.erase(1, 0x4000, 0x4000);
  ASSERT_TRUE(line.write(a.data(), a.size()));
  ASSERT_TRUE(line.write(b.data(), b.size()));
  Bytes got_all;
  uint8_t buffer[256];
  size_t got = 0;
  while (line.read(buffer, sizeof buffer, &got) && got > 0) {
    ASSERT_EQ(got, 1u);
    got_all.push_back(buffer[0]);
  }
  EXPECT_EQ(got_all, hex_bytes("02 01 06 00 02 01 00 04 03 02 01 06 00 02 01 00 04 03"));
  EXPECT_EQ(reads, 19); // every read ran the hook, the empty last one too
}

TEST(SimFaults, MalformedRequestsAreRefusedAndReported) {
  SimController sim{SimConfig()};
  Bytes bad = HostFrames().progress(1, 0);
  bad[6] ^= 0x55;
  EXPECT_EQ(ask(sim, bad), hex_bytes("02 01 15 00 00 14 03"));
  // A progress message with two bytes is well framed but not a progress request.
  uint8_t frame[SIM_MAX_FRAME];
  const uint8_t two[] = {1, 2};
  const size_t n = sim_frame_build(5, CMD_PROGRESS, two, 2, frame);
  EXPECT_EQ(ask(sim, Bytes(frame, frame + n)), hex_bytes("02 05 15 00 00 10 03"));
  const uint8_t ack_payload[] = {1, 0};
  const size_t m = sim_frame_build(6, CMD_ACK, ack_payload, 2, frame);
  EXPECT_EQ(ask(sim, Bytes(frame, frame + m)), hex_bytes("02 06 15 00 00 13 03"));
  ASSERT_EQ(sim.report().violations.size(), 3u);
  EXPECT_EQ(sim.report().violations[0], "request 1: wrong checksum");
  EXPECT_EQ(sim.report().violations[1], "request 2: progress payload of 2 bytes, 1 expected");
  EXPECT_EQ(sim.report().violations[2], "request 3: command byte 0x06 is not a request");
  EXPECT_EQ(sim.report().malformed, 3u);
}

} // namespace
