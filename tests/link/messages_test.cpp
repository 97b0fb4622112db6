#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "link/frame.h"
#include "link/messages.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes payload_of(const LinkMessage& m) {
  return Bytes(m.payload, m.payload + m.length);
}

bool same(const LinkMessage& a, const LinkMessage& b) {
  return std::memcmp(&a, &b, sizeof a) == 0;
}

class MessageSet : public ::testing::Test {
protected:
  void SetUp() override {
    std::memset(&ctx, 0x5A, sizeof ctx);
    ctx.sequence = 10;
    ctx.next_free = 1;
  }
  LinkContext ctx;
};

TEST_F(MessageSet, QueueModeFillsNextAndLeavesCurrentAlone) {
  const LinkContext before = ctx;
  EXPECT_EQ(msg_progress_encode(&ctx, nullptr, 100), 0);
  EXPECT_EQ(ctx.next.sequence, 11);
  EXPECT_EQ(ctx.next.command, CMD_PROGRESS);
  EXPECT_EQ(payload_of(ctx.next), Bytes{0x64});
  EXPECT_EQ(ctx.next_free, 0);
  EXPECT_TRUE(same(ctx.current, before.current));

  EXPECT_EQ(msg_erase_encode(&ctx, nullptr, 0x4000, 0x4000), 0);
  EXPECT_EQ(ctx.next.command, CMD_ERASE);
  EXPECT_EQ(payload_of(ctx.next), (Bytes{0x00, 0x00, 0x40, 0x00, 0x00, 0x00, 0x40, 0x00}));

  EXPECT_EQ(msg_jump_encode(&ctx, nullptr, 0x12345678), 0);
  EXPECT_EQ(ctx.next.command, CMD_JUMP);
  EXPECT_EQ(payload_of(ctx.next), (Bytes{0x12, 0x34, 0x56, 0x78}));

  // Each queued message replaced the one before and drew its own number.
  EXPECT_EQ(ctx.sequence, 13);
  EXPECT_EQ(ctx.next.sequence, 13);
  EXPECT_TRUE(same(ctx.current, before.current));
}

TEST_F(MessageSet, ProgramMessagesCarryCountAndData) {
  Bytes data(256);
  for (size_t i = 0; i < data.size(); ++i) {
    data[i] = static_cast<uint8_t>(255 - i);
  }
  EXPECT_EQ(msg_program_encode(&ctx, nullptr, 0x0002FF00, data.data(), 1), 0);
  EXPECT_EQ(ctx.next.length, 7);
  EXPECT_EQ(payload_of(ctx.next), (Bytes{0x00, 0x02, 0xFF, 0x00, 0x00, 0x01, 0xFF}));

  uint8_t out[LINK_TX_AREA_SIZE];
  EXPECT_EQ(msg_program_encode(&ctx, out, 0x4000, data.data(), 256), LINK_MAX_FRAME);
  EXPECT_EQ(ctx.current.length, 262);
  EXPECT_EQ(Bytes(out, out + 11),
            (Bytes{0x02, 12, 0x70, 0x01, 0x06, 0x00, 0x00, 0x40, 0x00, 0x01, 0x00}));
  EXPECT_EQ(Bytes(out + 11, out + 267), data);
  EXPECT_EQ(out[267], ctx.current.checksum);
  EXPECT_EQ(out[268], FRAME_ETX);
}

TEST_F(MessageSet, FailedChecksChangeNothing) {
  const uint8_t data[257] = {};
  const LinkContext before = ctx;
  uint8_t out[LINK_TX_AREA_SIZE];
  for (uint8_t* area : {static_cast<uint8_t*>(nullptr), out}) {
    EXPECT_EQ(msg_program_encode(&ctx, area, 0x4000, data, 0), 0);
    EXPECT_EQ(msg_program_encode(&ctx, area, 0x4000, data, 257), 0);
    EXPECT_EQ(msg_program_encode(&ctx, area, 0x4000, nullptr, 16), 0);
  }
  EXPECT_EQ(std::memcmp(&ctx, &before, sizeof ctx), 0);

  EXPECT_EQ(msg_progress_encode(nullptr, out, 1), 0);
  EXPECT_EQ(msg_erase_encode(nullptr, out, 1, 2), 0);
  EXPECT_EQ(msg_program_encode(nullptr, out, 1, data, 1), 0);
  EXPECT_EQ(msg_jump_encode(nullptr, out, 1), 0);
}

TEST_F(MessageSet, ImmediateModeReplacesCurrentAndFramesIt) {
  const LinkContext before = ctx;
  uint8_t out[LINK_TX_AREA_SIZE];
  EXPECT_EQ(msg_jump_encode(&ctx, out, 0x4000), 11);
  EXPECT_EQ(Bytes(out, out + 11), (Bytes{0x02, 11, 0x6A, 0x00, 0x04, 0x00, 0x00, 0x40, 0x00,
                                         11 ^ 0x6A ^ 0x04 ^ 0x40, 0x03}));
  EXPECT_EQ(ctx.current.command, CMD_JUMP);
  EXPECT_TRUE(same(ctx.next, before.next));
  EXPECT_EQ(ctx.next_free, 1);

  // Encoder and framing together give the known erase frame.
  ctx.sequence = 1;
  EXPECT_EQ(msg_erase_encode(&ctx, out, 0x4000, 0x4000), 15);
  EXPECT_EQ(Bytes(out, out + 15), (Bytes{0x02, 0x02, 0x65, 0x00, 0x08, 0x00, 0x00, 0x40, 0x00, 0x00,
                                         0x00, 0x40, 0x00, 0x6F, 0x03}));
}

TEST_F(MessageSet, CounterWrapsFrom255To0) {
  ctx.sequence = 255;
  msg_progress_encode(&ctx, nullptr, 0);
  EXPECT_EQ(ctx.next.sequence, 0);
  EXPECT_EQ(ctx.sequence, 0);
}

TEST(MessageDecode, ReadsBackWhatTheEncodersWrote) {
  LinkContext ctx{};
  uint8_t percent = 0;
  uint32_t address = 0, size = 0;
  msg_progress_encode(&ctx, nullptr, 42);
  EXPECT_EQ(msg_progress_decode(&ctx.next, &percent), 1);
  EXPECT_EQ(percent, 42);
  msg_erase_encode(&ctx, nullptr, 0x00014000, 0x4000);
  EXPECT_EQ(msg_erase_decode(&ctx.next, &address, &size), 8);
  EXPECT_EQ(address, 0x00014000u);
  EXPECT_EQ(size, 0x4000u);
  msg_jump_encode(&ctx, nullptr, 0xDEADBEEF);
  EXPECT_EQ(msg_jump_decode(&ctx.next, &address), 4);
  EXPECT_EQ(address, 0xDEADBEEFu);

  const uint8_t data[3] = {7, 8, 9};
  ProgramBlock block{};
  msg_program_encode(&ctx, nullptr, 0x4100, data, 3);
  EXPECT_EQ(msg_program_decode(&ctx.next, &block), 9);
  EXPECT_EQ(block.address, 0x4100u);
  EXPECT_EQ(block.length, 3);
  EXPECT_EQ(Bytes(block.data, block.data + 3), Bytes(data, data + 3));
}

TEST(MessageDecode, ProgramCountAbove256ReadsAsEmpty) {
  LinkMessage msg{};
  const uint8_t head[6] = {0, 0, 0x40, 0, 0x01, 0x2C}; // count 300
  std::memcpy(msg.payload, head, sizeof head);
  ProgramBlock block{};
  block.length = 99;
  EXPECT_EQ(msg_program_decode(&msg, &block), 6);
  EXPECT_EQ(block.length, 0);
  msg.payload[4] = 0x01;
  msg.payload[5] = 0x00; // 256, the most a block holds
  EXPECT_EQ(msg_program_decode(&msg, &block), 262);
}

TEST(MessageDecode, AckReadsTwoBytesWhateverTheLengthAndMissingArgumentsGiveZero) {
  LinkMessage msg{};
  msg.payload[0] = 0x21;
  msg.payload[1] = 0x07;
  msg.length = 0; // a short frame leaves the older bytes in place
  uint8_t id_and_error[2] = {};
  EXPECT_EQ(ack_decode(&msg, id_and_error), 2);
  EXPECT_EQ(id_and_error[0], 0x21);
  EXPECT_EQ(id_and_error[1], 0x07);

  uint32_t a = 0, b = 0;
  uint8_t p = 0;
  ProgramBlock block{};
  EXPECT_EQ(ack_decode(nullptr, id_and_error), 0);
  EXPECT_EQ(ack_decode(&msg, nullptr), 0);
  EXPECT_EQ(msg_progress_decode(nullptr, &p), 0);
  EXPECT_EQ(msg_progress_decode(&msg, nullptr), 0);
  EXPECT_EQ(msg_erase_decode(&msg, nullptr, &b), 0);
  EXPECT_EQ(msg_erase_decode(&msg, &a, nullptr), 0);
  EXPECT_EQ(msg_program_decode(&msg, nullptr), 0);
  EXPECT_EQ(msg_program_decode(nullptr, &block), 0);
  EXPECT_EQ(msg_jump_decode(nullptr, &a), 0);
}

} // namespace
