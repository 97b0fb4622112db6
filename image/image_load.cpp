#include "image/image_load.h"

#include <algorithm>
#include <cstdio>
#include <string>

#include "image/intel_hex.h"
#include "image/srec.h"

namespace {

constexpr uint64_t ADDRESS_SPACE = uint64_t{1} << 32;

// A UTF-8 byte-order mark, as some editors put before text.
size_t byte_order_mark(const uint8_t* data, size_t size) {
  return size >= 3 && data[0] == 0xEF && data[1] == 0xBB && data[2] == 0xBF ? 3 : 0;
}

bool is_blank(uint8_t c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

// Whether a record of either text format may start at data[at].
bool opens_record(const uint8_t* data, size_t size, size_t at) {
  if (at < size && data[at] == ':') return true;
  return at + 1 < size && data[at] == 'S' && data[at + 1] >= '0' && data[at + 1] <= '9';
}

// The length of the UTF-8 sequence at data[at] (2 to 4 bytes, shortest
// form, no surrogates, at most U+10FFFF), or 0 when there is none.
size_t utf8_sequence(const uint8_t* data, size_t size, size_t at) {
  const uint8_t lead = data[at];
  const size_t length = lead >= 0xC2 && lead <= 0xDF   ? 2
                        : lead >= 0xE0 && lead <= 0xEF ? 3
                        : lead >= 0xF0 && lead <= 0xF4 ? 4
                                                       : 0;
  if (length == 0 || at + length > size) return 0;
  for (size_t i = 1; i < length; ++i) {
    if ((data[at + i] & 0xC0) != 0x80) return 0;
  }
  const uint8_t second = data[at + 1];
  if ((lead == 0xE0 && second < 0xA0) || (lead == 0xED && second > 0x9F) ||
      (lead == 0xF0 && second < 0x90) || (lead == 0xF4 && second > 0x8F)) {
    return 0;
  }
  return length;
}

// Text as an editor writes it: valid UTF-8 (a comment line may hold any
// language) without control bytes but tabs, line ends and form feeds. A
// firmware binary of any size holds zeros, other control bytes, or bytes
// from 0x80 on that are no UTF-8.
bool is_text(const uint8_t* data, size_t size) {
  for (size_t i = byte_order_mark(data, size); i < size; ++i) {
    const uint8_t c = data[i];
    if (c >= 0x80) {
      const size_t length = utf8_sequence(data, size, i);
      if (length == 0) return false;
      i += length - 1;
    } else if ((c < 0x20 && c != '\t' && c != '\n' && c != '\r' && c != '\f') || c == 0x7F) {
      return false;
    }
  }
  return true;
}

// At most `most` bytes of a line of text as a terminal may show them: a
// control character (a tab, a form feed, or one of U+0080 to U+009F, which
// some terminals obey) as \xNN, never cut inside a character.
std::string shown_safely(const uint8_t* data, size_t from, size_t to, size_t most) {
  static const char HEX[] = "0123456789abcdef";
  std::string shown;
  for (size_t at = from; at < to;) {
    const size_t length = data[at] < 0x80 ? 1 : std::max<size_t>(1, utf8_sequence(data, to, at));
    const bool control = (data[at] < 0x20 || data[at] == 0x7F) ||
                         (data[at] == 0xC2 && length == 2 && data[at + 1] < 0xA0);
    std::string one;
    for (size_t i = at; i < at + length; ++i) {
      if (control) one += std::string("\\x") + HEX[data[i] >> 4] + HEX[data[i] & 15];
      else one += static_cast<char>(data[i]);
    }
    if (shown.size() + one.size() > most) return shown + "...";
    shown += one;
    at += length;
  }
  return shown;
}

// A text file is never sent as a raw binary: a comment line above Intel HEX
// would otherwise flash the file's ASCII. Names the first line that is no
// record; none when every line is blank.
ImageCheck refuse_text(const uint8_t* data, size_t size) {
  constexpr size_t SHOWN_MAX = 40;
  uint32_t line = 1;
  for (size_t start = byte_order_mark(data, size); start < size; ++line) {
    size_t end = start;
    while (end < size && data[end] != '\n') ++end;
    size_t at = start;
    while (at < end && is_blank(data[at])) ++at;
    if (at < end && !opens_record(data, size, at)) {
      size_t shown_end = end;
      while (shown_end > at && is_blank(data[shown_end - 1])) --shown_end;
      const std::string shown = shown_safely(data, at, shown_end, SHOWN_MAX);
      return {ImageStatus::syntax,
              "line " + std::to_string(line) + " is no Intel HEX or S-record ('" + shown +
                  "'): a text file must hold records only, and only a file that is not text is "
                  "sent as a raw binary"};
    }
    start = end + 1;
  }
  return {ImageStatus::empty, "the file holds no data"};
}

std::string hex8(uint64_t value) {
  char text[24];
  std::snprintf(text, sizeof text, "0x%08llX", static_cast<unsigned long long>(value));
  return text;
}

} // namespace

const char* image_format_name(ImageFormat format) {
  switch (format) {
  case ImageFormat::intel_hex:
    return "Intel HEX";
  case ImageFormat::srec:
    return "S-record";
  case ImageFormat::raw:
    break;
  }
  return "raw binary";
}

ImageFormat image_detect_format(const uint8_t* data, size_t size) {
  size_t at = byte_order_mark(data, size);
  while (at < size && is_blank(data[at])) ++at;
  if (!opens_record(data, size, at)) return ImageFormat::raw;
  return data[at] == ':' ? ImageFormat::intel_hex : ImageFormat::srec;
}

ImageCheck image_assemble(const ImageRecords& records, uint32_t max_span, LoadedImage* out) {
  out->bytes.clear();
  out->gaps.clear();
  uint64_t low = UINT64_MAX;
  uint64_t high = 0; // one past the last byte
  for (const ImagePiece& p : records.pieces) {
    if (p.size == 0) continue;
    if (p.address < low) low = p.address;
    if (p.address + p.size > high) high = p.address + p.size;
  }
  if (high == 0) return {ImageStatus::empty, "the file holds no data"};
  if (low < IMAGE_MIN_ADDRESS) {
    return {ImageStatus::below_boot_area, "the image starts at " + hex8(low) + ", below " +
                                              hex8(IMAGE_MIN_ADDRESS) +
                                              " where the boot loader lives"};
  }
  if (high > ADDRESS_SPACE) {
    return {ImageStatus::past_top, "the image ends at " + hex8(high - 1) +
                                       ", past the top of the address space (" +
                                       hex8(ADDRESS_SPACE - 1) + ")"};
  }
  if (high - low > max_span) {
    return {ImageStatus::too_large, "the image spans " + std::to_string(high - low) +
                                        " bytes from " + hex8(low) + ", more than the " +
                                        std::to_string(max_span) + " bytes this upgrader sends"};
  }

  const auto span = static_cast<size_t>(high - low);
  out->load_address = static_cast<uint32_t>(low);
  out->bytes.assign(span, 0xFF);
  std::vector<bool> given(span, false);
  // File order, so that the record named is the later of the two.
  for (const ImagePiece& p : records.pieces) {
    const auto at = static_cast<size_t>(p.address - low);
    for (uint32_t i = 0; i < p.size; ++i) {
      const uint8_t value = records.bytes[p.offset + i];
      if (given[at + i] && out->bytes[at + i] != value) {
        out->bytes.clear();
        return {ImageStatus::overlap, "line " + std::to_string(p.line) + ": data for " +
                                          hex8(p.address + i) +
                                          " differs from an earlier record for that address"};
      }
      out->bytes[at + i] = value;
      given[at + i] = true;
    }
  }
  for (size_t i = 0; i < span;) {
    if (given[i]) {
      ++i;
      continue;
    }
    size_t end = i;
    while (end < span && !given[end]) ++end;
    out->gaps.push_back({static_cast<uint32_t>(low + i), static_cast<uint32_t>(end - i)});
    i = end;
  }
  return {};
}

ImageCheck image_load(const uint8_t* data, size_t size, uint32_t raw_address, uint32_t max_span,
                      LoadedImage* out) {
  out->bytes.clear();
  out->gaps.clear();
  if (size == 0) return {ImageStatus::empty, "the file is empty"};
  out->format = image_detect_format(data, size);
  ImageRecords records;
  ImageCheck check;
  if (out->format == ImageFormat::raw) {
    if (is_text(data, size)) return refuse_text(data, size);
    // Checked here so that a huge file is refused before it is copied.
    if (size > max_span) {
      return {ImageStatus::too_large, "the image is " + std::to_string(size) +
                                          " bytes, more than the " + std::to_string(max_span) +
                                          " bytes this upgrader sends"};
    }
    records.bytes.assign(data, data + size);
    records.pieces.push_back({raw_address, 0, static_cast<uint32_t>(size), 0});
  } else {
    const size_t mark = byte_order_mark(data, size);
    check = out->format == ImageFormat::intel_hex
                ? intel_hex_parse(data + mark, size - mark, &records)
                : srec_parse(data + mark, size - mark, &records);
    if (!check.ok()) return check;
  }
  return image_assemble(records, max_span, out);
}
