// Reading a firmware file whole, with a bound on its size, and loading it.
// Standard C++ only.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "image/image_load.h"

// The largest file read: an Intel HEX or S-record text of a full
// IMAGE_MAX_SPAN image is about three times the image's size.
constexpr uint64_t IMAGE_MAX_FILE_SIZE = uint64_t{IMAGE_MAX_SPAN} * 4;

// Refuses anything but a regular file, and a regular file larger than
// IMAGE_MAX_FILE_SIZE, before opening it; then reads it whole.
ImageCheck image_read_file(const std::string& path, std::vector<uint8_t>* out);

// image_read_file, then image_load with IMAGE_MAX_SPAN.
ImageCheck image_load_file(const std::string& path, uint32_t raw_address, LoadedImage* out);
