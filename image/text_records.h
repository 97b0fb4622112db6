// Shared by the two text parsers: the file walked line by line, and the
// hexadecimal pairs of one record decoded into bytes. Internal to image/.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "image/image_records.h"

namespace image_text {

// Longest record either format can hold: a count byte of 255 gives 255 + 5
// bytes, written as two digits each, plus the lead characters.
constexpr size_t MAX_RECORD_BYTES = 260;

struct Line {
  const char* text; // without line end and trailing blanks
  size_t length;
  uint32_t number; // 1-based
};

// Walks the lines of a text file: "\n", "\r\n" and "\r" end a line.
class LineReader {
public:
  LineReader(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  // False at the end of the data.
  bool next(Line* line);

private:
  const uint8_t* data_;
  size_t size_;
  size_t at_ = 0;
  uint32_t number_ = 0;
};

// Whether a line holds nothing but blanks (and the end-of-file mark 0x1A some
// DOS tools append).
bool is_blank(const Line& line);

// Decodes `digits` characters of hexadecimal pairs into `out` (room for
// MAX_RECORD_BYTES). Returns the number of bytes, or -1 when a character is
// no hex digit, the count is odd or the record is longer than any can be.
int decode_hex(const char* text, size_t digits, uint8_t* out);

// "line N: " followed by `what`.
ImageCheck line_error(ImageStatus status, uint32_t line, const std::string& what);

// "0x" and two upper-case hex digits, for record types and checksums.
std::string hex2(unsigned value);

} // namespace image_text
