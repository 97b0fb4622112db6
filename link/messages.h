// The message set: progress, erase, program and jump requests, and the
// controller's acknowledgement. Numbers in payloads are big-endian.
#pragma once

#include "link/link_records.h"

constexpr uint16_t MSG_PROGRAM_MAX_DATA = 256;

struct ProgramBlock {
  uint32_t address;
  uint8_t data[MSG_PROGRAM_MAX_DATA];
  uint16_t length; // valid bytes in data
};

// Encoders. Without `out` (queue mode) the message goes into ctx->next,
// next_free becomes 0 and the result is 0. With `out` (immediate mode) it
// replaces ctx->current and its frame is built into out (room for
// LINK_MAX_FRAME bytes); the result is the frame length. A failed check
// returns 0 and changes nothing. Every message takes the next number from
// ctx->sequence when it is encoded.
uint16_t msg_progress_encode(LinkContext* ctx, uint8_t* out, uint8_t percent);
uint16_t msg_erase_encode(LinkContext* ctx, uint8_t* out, uint32_t address, uint32_t size);
uint16_t msg_program_encode(LinkContext* ctx, uint8_t* out, uint32_t address, const uint8_t* data,
                            uint16_t size); // size 1..256
uint16_t msg_jump_encode(LinkContext* ctx, uint8_t* out, uint32_t address);

// Decoders. They read the payload only (not command or length) and return
// the number of payload bytes read, 0 when an argument is missing.
int16_t msg_progress_decode(const LinkMessage* msg, uint8_t* percent);
int16_t msg_erase_decode(const LinkMessage* msg, uint32_t* address, uint32_t* size);
int16_t msg_program_decode(const LinkMessage* msg, ProgramBlock* block);
int16_t msg_jump_decode(const LinkMessage* msg, uint32_t* address);
// id_and_error[0]: acknowledged id; id_and_error[1]: device error code.
int16_t ack_decode(const LinkMessage* msg, uint8_t id_and_error[2]);
