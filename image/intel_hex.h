// Intel HEX: text records ":LLAAAATT<data>CC", one per line. Taken record
// types: 00 data, 01 end of file, 02 extended segment address, 04 extended
// linear address, and the start addresses 03 (segment, which objcopy writes
// for images below 1 MiB) and 05 (linear); their values are not used: the
// controller is started at the image's first address. Every checksum is
// verified; the end-of-file record must be there, and only blank lines may
// follow it. A data record must stay inside its 64 KiB segment: tools differ
// on whether such a record wraps or carries on, so it is refused rather
// than guessed at.
#pragma once

#include <cstddef>
#include <cstdint>

#include "image/image_records.h"

// Appends the data of every record in `data` to `out` (cleared first).
// Pure: no file or OS access.
ImageCheck intel_hex_parse(const uint8_t* data, size_t size, ImageRecords* out);
