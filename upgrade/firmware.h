// The firmware image the program carries, linked in as constant data. The
// build generates its definition from the image file it is given
// (ORVA_FIRMWARE_FILE, ORVA_FIRMWARE_LOAD_ADDRESS).
#pragma once

#include <cstdint>

struct FirmwareImage {
  const uint8_t* bytes;  // sent unchanged; the upgrader never looks inside
  uint32_t size;         // number of bytes
  uint32_t load_address; // device address of the first byte
};

// The built-in image; valid for the whole life of the program.
const FirmwareImage& firmware_image();

struct LoadedImage;

// The image to send from a firmware file loaded and checked by image/: its
// bytes are those of `loaded`, which must outlive it.
FirmwareImage firmware_from_file(const LoadedImage& loaded);
