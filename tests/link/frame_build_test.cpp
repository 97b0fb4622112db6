#include <gtest/gtest.h>

#include <vector>

#include "link/frame.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes build(LinkContext& ctx) {
  uint8_t out[LINK_TX_AREA_SIZE] = {};
  const uint16_t n = frame_build(&ctx, out);
  return Bytes(out, out + n);
}

void set_current(LinkContext& ctx, uint8_t seq, uint8_t cmd, const Bytes& payload) {
  ctx.current.sequence = seq;
  ctx.current.command = cmd;
  ctx.current.length = static_cast<uint16_t>(payload.size());
  std::copy(payload.begin(), payload.end(), ctx.current.payload);
}

TEST(FrameBuild, KnownFramesByteForByte) {
  LinkContext ctx{};
  set_current(ctx, 1, CMD_PROGRESS, {0x32});
  EXPECT_EQ(build(ctx), (Bytes{0x02, 0x01, 0x25, 0x00, 0x01, 0x32, 0x17, 0x03}));
  EXPECT_EQ(ctx.current.checksum, 0x17);

  set_current(ctx, 2, CMD_ERASE, {0x00, 0x00, 0x40, 0x00, 0x00, 0x00, 0x40, 0x00});
  EXPECT_EQ(build(ctx), (Bytes{0x02, 0x02, 0x65, 0x00, 0x08, 0x00, 0x00, 0x40, 0x00, 0x00, 0x00,
                               0x40, 0x00, 0x6F, 0x03}));
}

TEST(FrameBuild, EmptyPayloadIsSevenBytesWithChecksumOfSequenceAndCommand) {
  LinkContext ctx{};
  for (uint8_t cmd : {CMD_ACK, CMD_NAK, CMD_JUMP}) {
    set_current(ctx, 0xA5, cmd, {});
    EXPECT_EQ(build(ctx),
              (Bytes{0x02, 0xA5, cmd, 0x00, 0x00, static_cast<uint8_t>(0xA5 ^ cmd), 0x03}));
  }
}

TEST(FrameBuild, LongestProgramFrameCarriesLengthBigEndian) {
  LinkContext ctx{};
  Bytes payload(262);
  uint8_t x = 7 ^ CMD_PROGRAM ^ 0x01 ^ 0x06;
  for (size_t i = 0; i < payload.size(); ++i) {
    payload[i] = static_cast<uint8_t>(i * 31);
    x ^= payload[i];
  }
  set_current(ctx, 7, CMD_PROGRAM, payload);
  const Bytes frame = build(ctx);
  ASSERT_EQ(frame.size(), LINK_MAX_FRAME);
  EXPECT_EQ(frame[3], 0x01);
  EXPECT_EQ(frame[4], 0x06);
  EXPECT_EQ(Bytes(frame.begin() + 5, frame.end() - 2), payload);
  EXPECT_EQ(frame[267], x);
  EXPECT_EQ(frame[268], FRAME_ETX);
}

TEST(FrameBuild, RefusesMissingArgumentsAndOversizedMessages) {
  LinkContext ctx{};
  uint8_t out[4] = {0xEE, 0xEE, 0xEE, 0xEE};
  EXPECT_EQ(frame_build(nullptr, out), 0);
  EXPECT_EQ(frame_build(&ctx, nullptr), 0);
  EXPECT_EQ(link_retransmit(nullptr, out), 0);
  ctx.current.length = LINK_MAX_PAYLOAD + 1;
  EXPECT_EQ(frame_build(&ctx, out), 0);
  EXPECT_EQ(out[0], 0xEE);
}

TEST(FrameBuild, RetransmitDrawsTheNextNumberAndWraps) {
  LinkContext ctx{};
  set_current(ctx, 9, CMD_PROGRESS, {0x32});
  ctx.sequence = 254;
  uint8_t out[16];
  EXPECT_EQ(link_retransmit(&ctx, out), 8);
  EXPECT_EQ(out[1], 255);
  EXPECT_EQ(link_retransmit(&ctx, out), 8);
  EXPECT_EQ(ctx.sequence, 0);
  EXPECT_EQ(ctx.current.sequence, 0);
  EXPECT_EQ(out[1], 0);
  EXPECT_EQ(out[6], CMD_PROGRESS ^ 0x01 ^ 0x32);
  // Without an output area the number is still used up.
  EXPECT_EQ(link_retransmit(&ctx, nullptr), 0);
  EXPECT_EQ(ctx.current.sequence, 1);
}

TEST(FrameBuild, OnlyTheSixCommandBytesAreKnown) {
  int known = 0;
  for (int b = 0; b < 256; ++b) {
    known += is_known_command(static_cast<uint8_t>(b)) ? 1 : 0;
  }
  EXPECT_EQ(known, 6);
  for (uint8_t cmd : {CMD_ACK, CMD_NAK, CMD_PROGRESS, CMD_ERASE, CMD_JUMP, CMD_PROGRAM}) {
    EXPECT_TRUE(is_known_command(cmd));
  }
}

} // namespace
