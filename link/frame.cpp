#include "link/frame.h"

uint16_t frame_build(LinkContext* ctx, uint8_t* out) {
  if (!ctx || !out) {
    return 0;
  }
  const LinkMessage& msg = ctx->current;
  // A length beyond the payload room would read past the message record;
  // nothing we encode comes near it, so such a message is simply not framed.
  if (msg.length > LINK_MAX_PAYLOAD) {
    return 0;
  }
  const uint8_t length_high = static_cast<uint8_t>(msg.length >> 8);
  const uint8_t length_low = static_cast<uint8_t>(msg.length & 0xFF);
  out[0] = FRAME_STX;
  out[1] = msg.sequence;
  out[2] = msg.command;
  out[3] = length_high;
  out[4] = length_low;
  uint8_t x = static_cast<uint8_t>(msg.sequence ^ msg.command ^ length_high ^ length_low);
  for (uint16_t i = 0; i < msg.length; ++i) {
    out[5 + i] = msg.payload[i];
    x ^= msg.payload[i];
  }
  out[5 + msg.length] = x;
  ctx->current.checksum = x;
  out[6 + msg.length] = FRAME_ETX;
  return static_cast<uint16_t>(msg.length + FRAME_OVERHEAD);
}

uint16_t link_retransmit(LinkContext* ctx, uint8_t* out) {
  if (!ctx) {
    return 0;
  }
  // Retransmissions share the counter with new messages, so the numbers on
  // the wire are neither contiguous nor ascending.
  ++ctx->sequence;
  ctx->current.sequence = ctx->sequence;
  return frame_build(ctx, out);
}

bool is_known_command(uint8_t byte) {
  switch (byte) {
  case CMD_ACK:
  case CMD_NAK:
  case CMD_PROGRESS:
  case CMD_ERASE:
  case CMD_JUMP:
  case CMD_PROGRAM:
    return true;
  default:
    return false;
  }
}

uint8_t frame_parse(LinkContext* ctx, const uint8_t* input, int16_t* position, int16_t count,
                    uint8_t* stray, int16_t* stray_count) {
  return frame_parse_from(ctx, &link_payload_index, input, position, count, stray, stray_count);
}

uint8_t frame_parse_from(LinkContext* ctx, uint16_t* payload_index, const uint8_t* input,
                         int16_t* position, int16_t count, uint8_t* stray, int16_t* stray_count) {
  if (!ctx || !payload_index || !input || count <= 0) {
    if (stray_count) {
      *stray_count = 0;
    }
    return PARSE_MORE;
  }
  int pos = position ? *position : 0;
  if (pos < 0) {
    pos = 0;
  }
  int16_t strays = 0;
  uint8_t result = PARSE_MORE;
  LinkMessage& rx = ctx->received;

  while (pos < count && result == PARSE_MORE) {
    const uint8_t b = input[pos++];
    switch (ctx->rx_state) {
    case RX_SEQUENCE:
      rx.sequence = b;
      rx.checksum ^= b;
      ctx->rx_state = RX_COMMAND;
      break;
    case RX_COMMAND:
      rx.command = b;
      rx.checksum ^= b;
      ctx->rx_state = RX_LENGTH_HIGH;
      if (!is_known_command(b)) {
        result = PARSE_BAD_COMMAND;
      }
      break;
    case RX_LENGTH_HIGH:
      rx.length = static_cast<uint16_t>(b << 8);
      rx.checksum ^= b;
      ctx->rx_state = RX_LENGTH_LOW;
      break;
    case RX_LENGTH_LOW:
      rx.length = static_cast<uint16_t>(rx.length + b);
      rx.checksum ^= b;
      *payload_index = 0;
      ctx->rx_state = rx.length != 0 ? RX_PAYLOAD : RX_CHECKSUM;
      if (rx.length > LINK_MAX_RX_LENGTH) {
        result = PARSE_BAD_LENGTH;
      }
      break;
    case RX_PAYLOAD:
      // The length check above keeps the index inside the payload; the
      // second test only guards against a context whose state was never set.
      if (*payload_index < LINK_MAX_PAYLOAD) {
        rx.payload[*payload_index] = b;
      }
      rx.checksum ^= b;
      ++*payload_index;
      if (*payload_index >= rx.length) {
        ctx->rx_state = RX_CHECKSUM;
      }
      break;
    case RX_CHECKSUM:
      if (b == rx.checksum) {
        ctx->rx_state = RX_ETX;
      } else {
        result = PARSE_BAD_CHECKSUM;
      }
      break;
    case RX_ETX:
      result = b == FRAME_ETX ? PARSE_FRAME : PARSE_NO_ETX;
      break;
    case RX_WAIT_STX:
    default:
      if (b == FRAME_STX) {
        ctx->rx_state = RX_SEQUENCE;
      } else {
        // One read can bring more noise than the stray area holds; the
        // stray bytes are never used, so the surplus is dropped.
        if (stray && strays < LINK_STRAY_AREA_SIZE - 1) {
          stray[strays++] = b;
        }
        ctx->rx_state = RX_WAIT_STX;
      }
      rx.checksum = 0;
      break;
    }
  }

  if (result != PARSE_MORE) {
    ctx->rx_state = RX_WAIT_STX;
  }
  if (stray_count) {
    *stray_count = strays;
  }
  if (position) {
    *position = static_cast<int16_t>(pos);
  }
  return result;
}

uint16_t frame_bytes_missing(const LinkContext* ctx, uint16_t payload_index) {
  if (!ctx) {
    return FRAME_OVERHEAD;
  }
  switch (ctx->rx_state) {
  case RX_SEQUENCE:
  case RX_COMMAND:
  case RX_LENGTH_HIGH:
  case RX_LENGTH_LOW:
    // The header's bytes after STX are states 1 to 4; checksum and ETX follow.
    return static_cast<uint16_t>(FRAME_OVERHEAD - ctx->rx_state);
  case RX_PAYLOAD: {
    const uint16_t length = ctx->received.length;
    return static_cast<uint16_t>((payload_index < length ? length - payload_index : 0) + 2);
  }
  case RX_CHECKSUM:
    return 2;
  case RX_ETX:
    return 1;
  case RX_WAIT_STX:
  default:
    return FRAME_OVERHEAD;
  }
}
