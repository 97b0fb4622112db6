// Frame codec: STX, sequence, command, 16-bit big-endian length, payload,
// XOR checksum over sequence..payload, ETX. No escaping: the receiver finds
// the end of a frame by the announced length. No I/O, no allocation.
#pragma once

#include "link/link_records.h"

// Frames ctx->current into out (room for current.length + 7 bytes) and stores
// the checksum in current.checksum. Returns the frame length; 0 and nothing
// written when ctx or out is missing.
uint16_t frame_build(LinkContext* ctx, uint8_t* out);

// Stamps current with the next number from ctx->sequence and frames it as
// frame_build does. Returns 0 when ctx is missing.
uint16_t link_retransmit(LinkContext* ctx, uint8_t* out);

bool is_known_command(uint8_t byte);

// Receive state machine. Consumes input[*position .. count) one byte at a
// time until a byte yields a result other than PARSE_MORE or the input ends;
// a partial frame carries over in ctx between calls. Bytes outside any frame
// go to `stray`, an area of LINK_STRAY_AREA_SIZE bytes written from its start
// on every call; at most LINK_STRAY_AREA_SIZE - 1 are kept (room stays for a
// terminator) and the rest are dropped; stray may be null (nothing kept).
// *stray_count receives the number kept. position and stray_count may be null.
uint8_t frame_parse(LinkContext* ctx, const uint8_t* input, int16_t* position, int16_t count,
                    uint8_t* stray, int16_t* stray_count);

// frame_parse counting the payload in *payload_index instead of the thread's
// link_payload_index, so that a trial parse on a copy of the receive state
// leaves the real parser's state alone.
uint8_t frame_parse_from(LinkContext* ctx, uint16_t* payload_index, const uint8_t* input,
                         int16_t* position, int16_t count, uint8_t* stray, int16_t* stray_count);

// The fewest bytes that can still end the frame ctx is receiving, whose
// payload has reached payload_index: the rest of its header and payload, its
// checksum and ETX, counted as if its payload were empty while its length
// is not yet known; a whole empty frame when none has begun. A malformed
// frame ends sooner.
uint16_t frame_bytes_missing(const LinkContext* ctx, uint16_t payload_index);
