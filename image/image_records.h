// What a firmware file says, before it is laid out as one span: the data
// bytes of its records in file order, each run of them with its device
// address and the line it came from, and the typed result every step of
// reading a file returns. Parsers fill these; image_load.h lays them out.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

enum class ImageStatus : uint8_t {
  ok,
  unreadable,      // the file could not be read
  empty,           // no data at all
  syntax,          // a line that is no well-formed record
  checksum,        // a record whose checksum does not match its bytes
  record_type,     // a record type this upgrader does not take
  no_end,          // the end record is missing: the file may be cut short
  overlap,         // two records give different data for one address
  below_boot_area, // the image would overwrite the boot loader
  past_top,        // the image runs past the 32-bit address space
  too_large,       // the span is more than the upgrader sends
};

// A status and its one-line reason for the user (no line end, no file name).
struct ImageCheck {
  ImageStatus status = ImageStatus::ok;
  std::string reason;

  bool ok() const { return status == ImageStatus::ok; }
};

// One record's data: `size` bytes at `offset` in ImageRecords::bytes, for
// device addresses from `address` on. 64 bits wide so that a record running
// past the top of the address space is seen, not wrapped.
struct ImagePiece {
  uint64_t address;
  uint32_t offset;
  uint32_t size;
  uint32_t line; // 1-based; 0 for a raw binary
};

struct ImageRecords {
  std::vector<uint8_t> bytes;
  std::vector<ImagePiece> pieces;
};
