#include "image/hex_text.h"

std::string hex_text(const uint8_t* bytes, size_t size) {
  static const char DIGITS[] = "0123456789abcdef";
  std::string text;
  text.reserve(size * 2);
  for (size_t i = 0; i < size; ++i) {
    text += DIGITS[bytes[i] >> 4];
    text += DIGITS[bytes[i] & 15];
  }
  return text;
}

bool hex_bytes(const std::string& hex, std::string* bytes) {
  if (hex.size() % 2 != 0) return false;
  const auto digit = [](char c) {
    return c >= '0' && c <= '9'   ? c - '0'
           : c >= 'a' && c <= 'f' ? c - 'a' + 10
           : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                  : -1;
  };
  bytes->clear();
  bytes->reserve(hex.size() / 2);
  for (size_t i = 0; i < hex.size(); i += 2) {
    const int high = digit(hex[i]), low = digit(hex[i + 1]);
    if (high < 0 || low < 0) return false;
    bytes->push_back(static_cast<char>(high * 16 + low));
  }
  return true;
}
