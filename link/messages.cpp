#include "link/messages.h"

#include <cstring>

#include "link/frame.h"

namespace {

void put_u32(uint8_t* at, uint32_t value) {
  at[0] = static_cast<uint8_t>(value >> 24);
  at[1] = static_cast<uint8_t>(value >> 16);
  at[2] = static_cast<uint8_t>(value >> 8);
  at[3] = static_cast<uint8_t>(value);
}

uint32_t get_u32(const uint8_t* at) {
  return static_cast<uint32_t>(at[0]) << 24 | static_cast<uint32_t>(at[1]) << 16 |
         static_cast<uint32_t>(at[2]) << 8 | at[3];
}

// Picks the slot and numbers the message. The number is drawn when the
// message is queued, not when it goes out.
LinkMessage& begin_message(LinkContext* ctx, const uint8_t* out, uint8_t command) {
  LinkMessage* slot = &ctx->current;
  if (!out) {
    slot = &ctx->next;
    ctx->next_free = 0;
  }
  ++ctx->sequence;
  slot->sequence = ctx->sequence;
  slot->command = command;
  return *slot;
}

} // namespace

uint16_t msg_progress_encode(LinkContext* ctx, uint8_t* out, uint8_t percent) {
  if (!ctx) {
    return 0;
  }
  LinkMessage& msg = begin_message(ctx, out, CMD_PROGRESS);
  msg.payload[0] = percent;
  msg.length = 1;
  return frame_build(ctx, out);
}

uint16_t msg_erase_encode(LinkContext* ctx, uint8_t* out, uint32_t address, uint32_t size) {
  if (!ctx) {
    return 0;
  }
  LinkMessage& msg = begin_message(ctx, out, CMD_ERASE);
  put_u32(msg.payload, address);
  put_u32(msg.payload + 4, size);
  msg.length = 8;
  return frame_build(ctx, out);
}

uint16_t msg_program_encode(LinkContext* ctx, uint8_t* out, uint32_t address, const uint8_t* data,
                            uint16_t size) {
  if (!ctx || !data || size < 1 || size > MSG_PROGRAM_MAX_DATA) {
    return 0;
  }
  LinkMessage& msg = begin_message(ctx, out, CMD_PROGRAM);
  put_u32(msg.payload, address);
  msg.payload[4] = static_cast<uint8_t>(size >> 8);
  msg.payload[5] = static_cast<uint8_t>(size);
  std::memcpy(msg.payload + 6, data, size);
  msg.length = static_cast<uint16_t>(6 + size);
  return frame_build(ctx, out);
}

uint16_t msg_jump_encode(LinkContext* ctx, uint8_t* out, uint32_t address) {
  if (!ctx) {
    return 0;
  }
  LinkMessage& msg = begin_message(ctx, out, CMD_JUMP);
  put_u32(msg.payload, address);
  msg.length = 4;
  return frame_build(ctx, out);
}

int16_t msg_progress_decode(const LinkMessage* msg, uint8_t* percent) {
  if (!msg || !percent) {
    return 0;
  }
  *percent = msg->payload[0];
  return 1;
}

int16_t msg_erase_decode(const LinkMessage* msg, uint32_t* address, uint32_t* size) {
  if (!msg || !address || !size) {
    return 0;
  }
  *address = get_u32(msg->payload);
  *size = get_u32(msg->payload + 4);
  return 8;
}

int16_t msg_program_decode(const LinkMessage* msg, ProgramBlock* block) {
  if (!msg || !block) {
    return 0;
  }
  block->address = get_u32(msg->payload);
  uint16_t count = static_cast<uint16_t>(msg->payload[4] << 8 | msg->payload[5]);
  if (count > MSG_PROGRAM_MAX_DATA) {
    count = 0;
  }
  block->length = count;
  std::memcpy(block->data, msg->payload + 6, count);
  return static_cast<int16_t>(6 + count);
}

int16_t msg_jump_decode(const LinkMessage* msg, uint32_t* address) {
  if (!msg || !address) {
    return 0;
  }
  *address = get_u32(msg->payload);
  return 4;
}

int16_t ack_decode(const LinkMessage* msg, uint8_t id_and_error[2]) {
  if (!msg || !id_and_error) {
    return 0;
  }
  id_and_error[0] = msg->payload[0];
  id_and_error[1] = msg->payload[1];
  return 2;
}
