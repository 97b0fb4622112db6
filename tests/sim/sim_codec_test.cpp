// The simulator's own frame codec agrees with the upgrader's on every byte,
// in both directions, and takes malformed input apart the way the format asks.
#include <gtest/gtest.h>

#include "link/frame.h"
#include "sim/sim_frame.h"
#include "sim_test_util.h"

namespace {

Bytes sim_build(uint8_t seq, uint8_t cmd, const Bytes& payload) {
  uint8_t out[SIM_MAX_FRAME];
  const size_t n =
      sim_frame_build(seq, cmd, payload.data(), static_cast<uint16_t>(payload.size()), out);
  return Bytes(out, out + n);
}

// Parses everything; returns the events in order.
std::vector<SimParseEvent> sim_events(SimParser* parser, const Bytes& input, size_t step) {
  std::vector<SimParseEvent> events;
  for (size_t start = 0; start < input.size(); start += step) {
    const size_t end = std::min(input.size(), start + step);
    size_t pos = start;
    while (pos < end) {
      const SimParseEvent e = sim_parse(parser, input.data(), end, &pos);
      if (e != SimParseEvent::none) {
        events.push_back(e);
      }
    }
  }
  return events;
}

TEST(SimCodec, BothCodecsFrameTheReferenceMessagesAlike) {
  HostFrames host;
  const Bytes progress = hex_bytes("02 01 25 00 01 32 17 03");
  const Bytes erase = hex_bytes("02 02 65 00 08 00 00 40 00 00 00 40 00 6F 03");
  EXPECT_EQ(host.progress(1, 50), progress);
  EXPECT_EQ(sim_build(1, CMD_PROGRESS, {0x32}), progress);
  EXPECT_EQ(host.erase(2, 0x4000, 0x4000), erase);
  EXPECT_EQ(sim_build(2, CMD_ERASE, hex_bytes("00 00 40 00 00 00 40 00")), erase);
  EXPECT_EQ(sim_build(9, CMD_NAK, {}), hex_bytes("02 09 15 00 00 1c 03"));
}

TEST(SimCodec, TheSimulatorParsesEveryRequestTheUpgraderBuilds) {
  HostFrames host;
  Bytes data(256);
  for (size_t i = 0; i < data.size(); ++i) {
    data[i] = static_cast<uint8_t>(i); // 0x02 and 0x03 inside the payload
  }
  const Bytes frames[] = {host.progress(255, 100), host.erase(0, 0x30000, 0x4000),
                          host.program(7, 0x2FF00, data), host.program(8, 0x4000, {0x02}),
                          host.jump(3, 0x4000)};
  for (const Bytes& f : frames) {
    for (size_t step : {f.size(), size_t{1}, size_t{3}}) {
      SimParser parser;
      const auto events = sim_events(&parser, f, step);
      ASSERT_EQ(events.size(), 1u) << hex_text(f);
      EXPECT_EQ(events[0], SimParseEvent::frame);
      EXPECT_EQ(parser.frame.sequence, f[1]);
      EXPECT_EQ(parser.frame.command, f[2]);
      EXPECT_EQ(parser.frame.length, f.size() - 7);
      EXPECT_TRUE(std::equal(f.begin() + 5, f.end() - 2, parser.frame.payload));
      EXPECT_EQ(parser.frame_bytes, f.size());
    }
  }
}

TEST(SimCodec, TheUpgraderParsesTheSimulatorsAcknowledgement) {
  SimController sim{SimConfig()};
  HostFrames host;
  const Bytes answer = ask(sim, host.progress(1, 50));
  ASSERT_EQ(answer, hex_bytes("02 01 06 00 02 01 00 04 03"));

  LinkContext ctx{};
  int16_t pos = 0;
  uint8_t stray[LINK_STRAY_AREA_SIZE];
  int16_t stray_count = 0;
  ASSERT_EQ(frame_parse(&ctx, answer.data(), &pos, static_cast<int16_t>(answer.size()), stray,
                        &stray_count),
            PARSE_FRAME);
  EXPECT_EQ(ctx.received.command, CMD_ACK);
  uint8_t id_and_error[2];
  ASSERT_EQ(ack_decode(&ctx.received, id_and_error), 2);
  EXPECT_EQ(id_and_error[0], 1);
  EXPECT_EQ(id_and_error[1], 0);
}

TEST(SimCodec, LengthLimitsAndStrayBytes) {
  // 263 is the longest length a receiver takes, 264 is refused on its low byte.
  Bytes longest = sim_build(1, CMD_PROGRAM, Bytes(263, 0x5A));
  SimParser parser;
  EXPECT_EQ(sim_events(&parser, longest, longest.size()),
            std::vector<SimParseEvent>{SimParseEvent::frame});

  const Bytes too_long = hex_bytes("02 01 70 01 08");
  size_t pos = 0;
  SimParser p2;
  EXPECT_EQ(sim_parse(&p2, too_long.data(), too_long.size(), &pos), SimParseEvent::bad_length);
  EXPECT_EQ(pos, 5u);
  EXPECT_FALSE(sim_parse_in_frame(&p2));

  Bytes noisy = hex_bytes("00 03 ff");
  const Bytes frame = sim_build(4, CMD_JUMP, {0, 0, 0x40, 0});
  noisy.insert(noisy.end(), frame.begin(), frame.end());
  SimParser p3;
  EXPECT_EQ(sim_events(&p3, noisy, 2), std::vector<SimParseEvent>{SimParseEvent::frame});
  EXPECT_EQ(p3.stray, 3u);
}

TEST(SimCodec, ChecksumAndEndByteFaultsLeaveTheNextFrameIntact) {
  Bytes bad_sum = sim_build(1, CMD_PROGRESS, {5});
  bad_sum[5] ^= 0x01;
  Bytes no_etx = sim_build(2, CMD_PROGRESS, {6});
  no_etx.pop_back(); // the next frame's STX takes ETX's place
  const Bytes good = sim_build(3, CMD_PROGRESS, {7});

  Bytes input = bad_sum;
  input.insert(input.end(), no_etx.begin(), no_etx.end());
  input.insert(input.end(), good.begin(), good.end());
  SimParser parser;
  EXPECT_EQ(sim_events(&parser, input, input.size()),
            (std::vector<SimParseEvent>{SimParseEvent::bad_checksum, SimParseEvent::no_etx,
                                        SimParseEvent::frame}));
  EXPECT_EQ(parser.frame.payload[0], 7);
  EXPECT_EQ(parser.stray, 0u);
}

} // namespace
