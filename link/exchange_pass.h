// One pass of an exchange, the same for every message and for the closing
// exchange after the last one: read what the controller sent, feed it
// through the engine, write the one frame it answers with.
#pragma once

#include <cstddef>
#include <cstdint>

#include "link/link_records.h"
#include "link/port.h"

struct ExchangePass {
  uint8_t failure = 0; // 0, EXCHANGE_READ_ERROR or EXCHANGE_WRITE_ERROR
  size_t got = 0;      // bytes read
  bool sent = false;   // a frame went out
};

// Reads up to LINK_READ_SIZE bytes into link_rx_area (ending early when
// `complete` says so), hands them to link_process_input and writes its reply
// from link_tx_area, counting it in ctx->frames_sent. `port` is read at every
// use.
ExchangePass link_exchange_pass(LinkContext* ctx, const PortHandle* port,
                                const ReadCheck& complete);
