// Motorola S-records: text records "S" type, count, address, data, checksum,
// one per line. Taken: S0 header (its content is not used), S1/S2/S3 data
// with 16-, 24- and 32-bit addresses, S5/S6 record counts (checked against
// the data records before them), S7/S8/S9 termination (its start address is
// not used: the controller is started at the image's first address). Every
// checksum is verified; the termination record must be there, and only
// blank lines may follow it.
#pragma once

#include <cstddef>
#include <cstdint>

#include "image/image_records.h"

// Appends the data of every record in `data` to `out` (cleared first).
// Pure: no file or OS access.
ImageCheck srec_parse(const uint8_t* data, size_t size, ImageRecords* out);
