// The built-in image: what the build embedded from the default image file.
#include <gtest/gtest.h>

#include <set>

#include "upgrade/firmware.h"

namespace {

TEST(FirmwareImageTest, TheDefaultImageIsEmbeddedWhole) {
  const FirmwareImage& image = firmware_image();
  ASSERT_NE(image.bytes, nullptr);
  EXPECT_EQ(image.size, 180036u);
  EXPECT_EQ(image.load_address, 0x4000u);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(image.bytes), 16), "ORVA-TESTIMAGE01");
  // Every byte value, the frame delimiters among them, travels in a payload.
  const std::set<uint8_t> values(image.bytes, image.bytes + image.size);
  EXPECT_EQ(values.size(), 256u);
  // The last four bytes are the CRC-32 of the rest, which catches a bad embedding.
  uint32_t crc = 0xFFFFFFFFu;
  for (uint32_t i = 0; i + 4 < image.size; ++i) {
    crc ^= image.bytes[i];
    for (int bit = 0; bit < 8; ++bit) {
      crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
  }
  crc = ~crc;
  const uint8_t* tail = image.bytes + image.size - 4;
  EXPECT_EQ(crc, uint32_t{tail[0]} | uint32_t{tail[1]} << 8 | uint32_t{tail[2]} << 16 |
                     uint32_t{tail[3]} << 24);
}

} // namespace
