// What both record-parser harnesses check once a parse went well: the
// records describe exactly the bytes they hold, a file written back from
// them reads the same, and laying them out as a span keeps every record's
// bytes and accounts for every other byte as a gap.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include "image/image_load.h"
#include "image/image_records.h"

namespace image_fuzz {

// Kept small so that each input runs quickly; the checks do not depend on it.
constexpr uint32_t MAX_SPAN = 1u << 20;

inline void check(bool ok) {
  if (!ok) std::abort();
}

inline void check_records(const ImageRecords& r) {
  uint64_t total = 0;
  for (const ImagePiece& p : r.pieces) {
    check(p.size > 0 && p.line > 0);
    check(uint64_t{p.offset} + p.size <= r.bytes.size());
    check(p.offset == total); // file order, no bytes unaccounted for
    check(p.address + p.size <= (uint64_t{1} << 32) + 255);
    total += p.size;
  }
  check(total == r.bytes.size());
}

// The same bytes for the same addresses in the same order, however the
// records split them.
inline std::vector<std::pair<uint64_t, uint8_t>> addressed_bytes(const ImageRecords& r) {
  std::vector<std::pair<uint64_t, uint8_t>> out;
  for (const ImagePiece& p : r.pieces) {
    for (uint32_t i = 0; i < p.size; ++i) out.push_back({p.address + i, r.bytes[p.offset + i]});
  }
  return out;
}

inline void check_same_data(const ImageRecords& a, const ImageRecords& b) {
  check(addressed_bytes(a) == addressed_bytes(b));
}

inline void check_layout(const ImageRecords& r) {
  LoadedImage image;
  const ImageCheck result = image_assemble(r, MAX_SPAN, &image);
  if (!result.ok()) {
    check(!result.reason.empty() && result.reason.find('\n') == std::string::npos);
    check(image.bytes.empty());
    return;
  }
  check(!image.bytes.empty() && image.bytes.size() <= MAX_SPAN);
  check(image.load_address >= IMAGE_MIN_ADDRESS);
  check(uint64_t{image.load_address} + image.bytes.size() <= (uint64_t{1} << 32));
  std::vector<uint8_t> covered(image.bytes.size(), 0);
  for (const ImagePiece& p : r.pieces) {
    check(p.address >= image.load_address);
    const uint64_t at = p.address - image.load_address;
    check(at + p.size <= image.bytes.size());
    for (uint32_t i = 0; i < p.size; ++i) {
      check(image.bytes[at + i] == r.bytes[p.offset + i]);
      covered[at + i] = 1;
    }
  }
  check(covered.front() == 1 && covered.back() == 1);
  // Every byte no record gives lies in exactly one gap, and gaps are whole
  // runs: a given byte separates any two of them.
  uint64_t previous_end = 0;
  for (const ImageGap& g : image.gaps) {
    check(g.size > 0 && g.address > image.load_address);
    const uint64_t at = g.address - image.load_address;
    check(at > previous_end && at + g.size < image.bytes.size());
    for (uint32_t i = 0; i < g.size; ++i) {
      check(covered[at + i] == 0 && image.bytes[at + i] == 0xFF);
      covered[at + i] = 2;
    }
    previous_end = at + g.size;
  }
  for (uint8_t c : covered) check(c != 0);
}

inline std::string hex_pair(uint8_t b) {
  static const char digits[] = "0123456789ABCDEF";
  return {digits[b >> 4], digits[b & 15]};
}

} // namespace image_fuzz
