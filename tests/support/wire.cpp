#include "tests/support/wire.h"

Bytes wire_frame(uint8_t sequence, uint8_t command, const Bytes& payload) {
  const auto high = static_cast<uint8_t>(payload.size() >> 8);
  const auto low = static_cast<uint8_t>(payload.size());
  Bytes frame{0x02, sequence, command, high, low};
  uint8_t x = static_cast<uint8_t>(sequence ^ command ^ high ^ low);
  for (uint8_t b : payload) {
    frame.push_back(b);
    x ^= b;
  }
  frame.push_back(x);
  frame.push_back(0x03);
  return frame;
}

Bytes wire_ack(uint8_t id, uint8_t error, uint8_t sequence) {
  return wire_frame(sequence, 0x06, {id, error});
}

Bytes wire_nak(uint8_t sequence) {
  return wire_frame(sequence, 0x15, {});
}

Bytes wire_join(std::initializer_list<Bytes> pieces) {
  Bytes all;
  for (const Bytes& piece : pieces) {
    all.insert(all.end(), piece.begin(), piece.end());
  }
  return all;
}
