// Numbers as users write them: in COM names, and in the options of
// orvaload-cli and orva-bootsim.
#pragma once

#include <cstdint>
#include <string>

// Decimal, or hexadecimal after "0x" or "0X"; digits only (no sign, no
// blanks), at most 32 bits. False, leaving *value alone, for anything else.
inline bool parse_u32(const std::string& text, uint32_t* value) {
  const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
  const std::string digits = hex ? text.substr(2) : text;
  if (digits.empty()) return false;
  uint64_t v = 0;
  for (char c : digits) {
    int d = -1;
    if (c >= '0' && c <= '9') d = c - '0';
    if (hex && c >= 'a' && c <= 'f') d = c - 'a' + 10;
    if (hex && c >= 'A' && c <= 'F') d = c - 'A' + 10;
    if (d < 0) return false;
    v = v * (hex ? 16 : 10) + static_cast<uint64_t>(d);
    if (v > UINT32_MAX) return false;
  }
  *value = static_cast<uint32_t>(v);
  return true;
}
