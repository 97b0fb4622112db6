// Feeds arbitrary bytes to frame_parse in arbitrary pieces. Input layout:
// one flags byte, then pieces, each a size byte (0: the rest of the input)
// followed by that many bytes. Checks that the parser never reads or writes
// outside its areas (AddressSanitizer), always moves forward, keeps a valid
// state, delivers only well-formed frames, and gives the same results as a
// byte-by-byte run over the same stream.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "link/frame.h"

namespace {

struct Event {
  uint8_t result;
  size_t end;
  bool operator==(const Event& o) const { return result == o.result && end == o.end; }
};

void check(bool ok) {
  if (!ok) {
    std::abort();
  }
}

void check_frame(const LinkContext& ctx, const std::vector<uint8_t>& stream, size_t end) {
  const LinkMessage& rx = ctx.received;
  check(rx.length <= LINK_MAX_RX_LENGTH);
  check(is_known_command(rx.command));
  uint8_t x = rx.sequence ^ rx.command ^ static_cast<uint8_t>(rx.length >> 8) ^
              static_cast<uint8_t>(rx.length);
  for (uint16_t i = 0; i < rx.length; ++i) {
    x ^= rx.payload[i];
  }
  check(x == rx.checksum);

  // The frame must be exactly the bytes that produced it.
  const size_t size = rx.length + FRAME_OVERHEAD;
  check(end >= size);
  LinkContext copy{};
  copy.current = rx;
  uint8_t out[LINK_MAX_PAYLOAD + FRAME_OVERHEAD];
  check(frame_build(&copy, out) == size);
  check(std::memcmp(out, stream.data() + end - size, size) == 0);
}

// The stray area is an exactly sized heap block, so that a byte written past
// it is caught.
uint8_t* stray_area() {
  static uint8_t* area = new uint8_t[LINK_STRAY_AREA_SIZE];
  return area;
}

// Runs the call loop over one piece of the stream.
void parse_piece(LinkContext& ctx, const uint8_t* piece, size_t n, size_t offset, uint8_t flags,
                 const std::vector<uint8_t>& stream, std::vector<Event>& events) {
  const auto count = static_cast<int16_t>(n);
  int16_t pos = 0;
  while (pos < count) {
    const int16_t before = pos;
    int16_t stray_count = -1;
    uint8_t* stray = (flags & 1) ? nullptr : stray_area();
    const uint8_t r = frame_parse(&ctx, piece, &pos, count, stray, &stray_count);
    check(r <= PARSE_NO_ETX);
    check(pos > before && pos <= count);
    check(ctx.rx_state <= RX_ETX);
    check(stray_count >= 0 && stray_count < LINK_STRAY_AREA_SIZE);
    check(stray || stray_count == 0);
    check(stray_count <= pos - before);
    if (r == PARSE_MORE) {
      check(pos == count);
      continue;
    }
    check(ctx.rx_state == RX_WAIT_STX);
    const size_t end = offset + static_cast<size_t>(pos);
    if (r == PARSE_FRAME) {
      check_frame(ctx, stream, end);
    }
    events.push_back({r, end});
  }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) {
    return 0;
  }
  const uint8_t flags = data[0];
  std::vector<std::pair<size_t, size_t>> pieces; // offset in data, length
  std::vector<uint8_t> stream;
  for (size_t at = 1; at < size;) {
    size_t n = data[at++];
    if (n == 0 || n > size - at) {
      n = size - at;
    }
    pieces.push_back({at, n});
    stream.insert(stream.end(), data + at, data + at + n);
    at += n;
  }
  if (stream.size() > 30000) {
    return 0;
  }

  std::vector<Event> chunked;
  LinkContext ctx{};
  size_t offset = 0;
  for (const auto& p : pieces) {
    // An exactly sized copy, so that a read past the piece is caught.
    const std::vector<uint8_t> piece(data + p.first, data + p.first + p.second);
    parse_piece(ctx, piece.data(), piece.size(), offset, flags, stream, chunked);
    offset += p.second;
  }

  std::vector<Event> bytewise;
  LinkContext fresh{};
  for (size_t i = 0; i < stream.size(); ++i) {
    parse_piece(fresh, stream.data() + i, 1, i, flags, stream, bytewise);
  }
  check(chunked == bytewise);
  return 0;
}
