// Writes single Intel HEX and S-record lines with correct checksums, so that
// a test states only what matters to it.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

inline std::string hex_bytes(const std::vector<uint8_t>& bytes) {
  std::string text;
  char pair[4];
  for (uint8_t b : bytes) {
    std::snprintf(pair, sizeof pair, "%02X", b);
    text += pair;
  }
  return text;
}

// ":" count, address, type, data, checksum; `fix` is added to the checksum.
inline std::string ihex(uint8_t type, uint16_t address, const std::vector<uint8_t>& data,
                        int fix = 0) {
  std::vector<uint8_t> r{static_cast<uint8_t>(data.size()), static_cast<uint8_t>(address >> 8),
                         static_cast<uint8_t>(address), type};
  r.insert(r.end(), data.begin(), data.end());
  uint8_t sum = 0;
  for (uint8_t b : r) sum = static_cast<uint8_t>(sum + b);
  r.push_back(static_cast<uint8_t>(-sum + fix));
  return ":" + hex_bytes(r) + "\n";
}

// "S" type, count, address of the type's width, data, checksum.
inline std::string srec(int type, uint32_t address, const std::vector<uint8_t>& data, int fix = 0) {
  static const int widths[10] = {2, 2, 3, 4, 2, 2, 3, 4, 3, 2};
  const int width = widths[type];
  std::vector<uint8_t> r{static_cast<uint8_t>(width + data.size() + 1)};
  for (int i = width - 1; i >= 0; --i) r.push_back(static_cast<uint8_t>(address >> (8 * i)));
  r.insert(r.end(), data.begin(), data.end());
  uint8_t sum = 0;
  for (uint8_t b : r) sum = static_cast<uint8_t>(sum + b);
  r.push_back(static_cast<uint8_t>(~sum + fix));
  return "S" + std::to_string(type) + hex_bytes(r) + "\n";
}

inline std::vector<uint8_t> bytes_of(const std::string& text) {
  return {text.begin(), text.end()};
}
