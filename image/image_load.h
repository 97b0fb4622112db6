// A firmware file's bytes made into the one span the upgrade sends. The
// format comes from the content, never the name: text opening with ':' is
// Intel HEX, text opening with "S" and a digit is S-records (blank lines and
// a UTF-8 byte-order mark before it are allowed), and anything else that is
// not text is a raw binary placed at the address the caller gives. A text
// file is never a raw binary: one that does not open with a record (a comment
// line above Intel HEX, a note) is refused, naming its first line that is no
// record. The span runs from the
// lowest to the highest address any record gives; the gaps between records
// are filled with 0xFF, as erased flash reads, and listed for the user.
//
// Refused, with a one-line reason: an empty file or one without data; any
// syntax, checksum or record-type error (with its line); two records giving
// different bytes for one address; a span starting below IMAGE_MIN_ADDRESS,
// where the boot loader lives, or ending past 0xFFFFFFFF; and a span longer
// than the `max_span` given (IMAGE_MAX_SPAN in the programs).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "image/image_records.h"

constexpr uint32_t IMAGE_MIN_ADDRESS = 0x4000;
constexpr uint32_t IMAGE_DEFAULT_RAW_ADDRESS = 0x4000;
// 16 MiB, about half an hour on a 115200-baud line. A bigger span is almost
// always records for two distant memories in one file, and it bounds what a
// file can make the upgrader allocate.
constexpr uint32_t IMAGE_MAX_SPAN = 16u << 20;

enum class ImageFormat : uint8_t { raw, intel_hex, srec };

struct ImageGap {
  uint32_t address;
  uint32_t size;
};

struct LoadedImage {
  ImageFormat format = ImageFormat::raw;
  uint32_t load_address = 0;
  std::vector<uint8_t> bytes; // the whole span, gaps filled
  std::vector<ImageGap> gaps; // in address order
};

// "raw binary", "Intel HEX", "S-record".
const char* image_format_name(ImageFormat format);

ImageFormat image_detect_format(const uint8_t* data, size_t size);

// Lays the records out as one span and checks it (see above).
ImageCheck image_assemble(const ImageRecords& records, uint32_t max_span, LoadedImage* out);

// Detects the format, parses and assembles. `raw_address` places a raw
// binary; the text formats carry their own addresses.
ImageCheck image_load(const uint8_t* data, size_t size, uint32_t raw_address, uint32_t max_span,
                      LoadedImage* out);
