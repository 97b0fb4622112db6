#include "sim/sim_frame.h"

bool sim_parse_in_frame(const SimParser* parser) {
  return parser->state != SimRxState::stx;
}

void sim_parse_reset(SimParser* parser) {
  parser->state = SimRxState::stx;
  parser->index = 0;
  parser->running_xor = 0;
  parser->checksum_ok = false;
  parser->frame_bytes = 0;
}

SimParseEvent sim_parse(SimParser* parser, const uint8_t* input, size_t size, size_t* position) {
  size_t pos = *position;
  SimParseEvent event = SimParseEvent::none;
  SimFrame& f = parser->frame;
  while (pos < size && event == SimParseEvent::none) {
    const uint8_t b = input[pos];
    if (parser->state == SimRxState::etx && b != SIM_ETX) {
      // Leave the byte for the next call: it may be the STX of the next frame.
      event = parser->checksum_ok ? SimParseEvent::no_etx : SimParseEvent::bad_checksum;
      parser->state = SimRxState::stx;
      break;
    }
    ++pos;
    if (parser->state != SimRxState::stx) {
      ++parser->frame_bytes;
    }
    switch (parser->state) {
    case SimRxState::stx:
      if (b == SIM_STX) {
        sim_parse_reset(parser);
        parser->frame_bytes = 1;
        parser->state = SimRxState::sequence;
      } else {
        ++parser->stray;
      }
      break;
    case SimRxState::sequence:
      f.sequence = b;
      parser->running_xor ^= b;
      parser->state = SimRxState::command;
      break;
    case SimRxState::command:
      f.command = b;
      parser->running_xor ^= b;
      parser->state = SimRxState::length_high;
      break;
    case SimRxState::length_high:
      f.length = static_cast<uint16_t>(b << 8);
      parser->running_xor ^= b;
      parser->state = SimRxState::length_low;
      break;
    case SimRxState::length_low:
      f.length = static_cast<uint16_t>(f.length | b);
      parser->running_xor ^= b;
      parser->index = 0;
      if (f.length > SIM_MAX_ACCEPTED_LENGTH) {
        parser->state = SimRxState::stx;
        event = SimParseEvent::bad_length;
      } else {
        parser->state = f.length == 0 ? SimRxState::checksum : SimRxState::payload;
      }
      break;
    case SimRxState::payload:
      f.payload[parser->index++] = b;
      parser->running_xor ^= b;
      if (parser->index >= f.length) {
        parser->state = SimRxState::checksum;
      }
      break;
    case SimRxState::checksum:
      parser->checksum_ok = b == parser->running_xor;
      parser->state = SimRxState::etx;
      break;
    case SimRxState::etx: // b is ETX here
      parser->state = SimRxState::stx;
      event = parser->checksum_ok ? SimParseEvent::frame : SimParseEvent::bad_checksum;
      break;
    }
  }
  *position = pos;
  return event;
}

uint8_t sim_frame_checksum(uint8_t sequence, uint8_t command, const uint8_t* payload,
                           uint16_t length) {
  uint8_t x = static_cast<uint8_t>(sequence ^ command ^ (length >> 8) ^ (length & 0xFF));
  for (uint16_t i = 0; i < length; ++i) {
    x ^= payload[i];
  }
  return x;
}

size_t sim_frame_build(uint8_t sequence, uint8_t command, const uint8_t* payload, uint16_t length,
                       uint8_t* out) {
  out[0] = SIM_STX;
  out[1] = sequence;
  out[2] = command;
  out[3] = static_cast<uint8_t>(length >> 8);
  out[4] = static_cast<uint8_t>(length & 0xFF);
  for (uint16_t i = 0; i < length; ++i) {
    out[5 + i] = payload[i];
  }
  out[5 + length] = sim_frame_checksum(sequence, command, payload, length);
  out[6 + length] = SIM_ETX;
  return static_cast<size_t>(length) + SIM_FRAME_OVERHEAD;
}
