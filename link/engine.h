// Transaction engine: one message in flight, one queued; acknowledged,
// retransmitted on refusal at most three times, timed out after five seconds.
#pragma once

#include <cstdint>

#include "link/link_records.h"
#include "link/port.h"

// Results of link_exchange.
constexpr uint8_t EXCHANGE_OK = 1;
constexpr uint8_t EXCHANGE_STOPPED = 2;
constexpr uint8_t EXCHANGE_BAD_PARAMETER = 251;
constexpr uint8_t EXCHANGE_READ_ERROR = 252;
constexpr uint8_t EXCHANGE_WRITE_ERROR = 253;
constexpr uint8_t EXCHANGE_TIMEOUT = 254;
constexpr uint8_t EXCHANGE_CANCELLED = 255;

// Codes of link_outcome.
constexpr int8_t OUTCOME_CONTINUE = 0;
constexpr int8_t OUTCOME_FAILED = 1;
constexpr int8_t OUTCOME_FINISHED = -1;

// Room for an outcome text; the longest takes 117 bytes.
constexpr int LINK_TEXT_SIZE = 256;

// Resets ctx for a run and frames the queued message, which goes out first.
uint16_t link_start(LinkContext* ctx, uint8_t* out);
// Feeds received bytes through the parser and reacts to every answer. The
// reply is at most one frame, even when one read carries several answers:
// `out` needs room for LINK_MAX_PAYLOAD + FRAME_OVERHEAD bytes.
int16_t link_process_input(LinkContext* ctx, const uint8_t* input, int16_t count, uint8_t* out);
// port: the caller's variable holding the open port handle, read at every use.
uint8_t link_exchange(LinkContext* ctx, const PortHandle* port, uint8_t first, int32_t cancel);
// text: LINK_TEXT_SIZE bytes; result is read as a signed byte (251..255 -> -5..-1).
int8_t link_outcome(const LinkContext* ctx, int8_t result, char* text);

// The closing exchange, after the last message of a run went out with
// nothing queued behind it: waits for its answer (refusals retransmit it as
// usual) and judges it as link_outcome would. OUTCOME_CONTINUE when it was
// acknowledged without a device error or the line stayed quiet; the text
// (LINK_TEXT_SIZE bytes) says why otherwise.
int8_t link_close(LinkContext* ctx, const PortHandle* port, char* text);
