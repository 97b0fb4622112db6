#include "image/text_records.h"

#include <cstdio>

namespace image_text {

bool LineReader::next(Line* line) {
  if (at_ >= size_) return false;
  const size_t begin = at_;
  size_t end = begin;
  while (end < size_ && data_[end] != '\n' && data_[end] != '\r') ++end;
  at_ = end;
  if (at_ < size_ && data_[at_] == '\r') ++at_;
  if (at_ < size_ && data_[at_] == '\n') ++at_;
  size_t length = end - begin;
  while (length > 0 && (data_[begin + length - 1] == ' ' || data_[begin + length - 1] == '\t'))
    --length;
  line->text = reinterpret_cast<const char*>(data_ + begin);
  line->length = length;
  line->number = ++number_;
  return true;
}

bool is_blank(const Line& line) {
  for (size_t i = 0; i < line.length; ++i) {
    const char c = line.text[i];
    if (c != ' ' && c != '\t' && c != '\x1a') return false;
  }
  return true;
}

namespace {

int digit_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

} // namespace

int decode_hex(const char* text, size_t digits, uint8_t* out) {
  if (digits % 2 != 0 || digits / 2 > MAX_RECORD_BYTES) return -1;
  for (size_t i = 0; i < digits; i += 2) {
    const int high = digit_value(text[i]);
    const int low = digit_value(text[i + 1]);
    if (high < 0 || low < 0) return -1;
    out[i / 2] = static_cast<uint8_t>(high << 4 | low);
  }
  return static_cast<int>(digits / 2);
}

ImageCheck line_error(ImageStatus status, uint32_t line, const std::string& what) {
  return {status, "line " + std::to_string(line) + ": " + what};
}

std::string hex2(unsigned value) {
  char text[8];
  std::snprintf(text, sizeof text, "0x%02X", value & 0xFFu);
  return text;
}

} // namespace image_text
