// Bytes as lower-case hex digits and back: a SHA-256, a signature, a file
// kept in a text column. Standard C++ only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

std::string hex_text(const uint8_t* bytes, size_t size);
inline std::string hex_text(const std::string& bytes) {
  return hex_text(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
}
// False for anything but an even number of hex digits (either case).
bool hex_bytes(const std::string& hex, std::string* bytes);
