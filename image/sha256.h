// SHA-256 of a byte run, to name an image unambiguously (--info). Pure.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

using Sha256Digest = std::array<uint8_t, 32>;

Sha256Digest sha256(const uint8_t* data, size_t size);

// 64 lower-case hex digits, as sha256sum prints them.
std::string sha256_hex(const Sha256Digest& digest);
