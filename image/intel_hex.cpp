#include "image/intel_hex.h"

#include "image/text_records.h"

namespace {

using image_text::hex2;
using image_text::line_error;

enum : uint8_t {
  DATA = 0x00,
  END = 0x01,
  SEGMENT = 0x02,
  START_SEGMENT = 0x03,
  LINEAR = 0x04,
  START_LINEAR = 0x05
};

// Count, two address bytes, type and checksum around the data.
constexpr int RECORD_OVERHEAD = 5;
constexpr uint32_t SEGMENT_SIZE = 0x10000;

} // namespace

ImageCheck intel_hex_parse(const uint8_t* data, size_t size, ImageRecords* out) {
  out->bytes.clear();
  out->pieces.clear();
  image_text::LineReader lines(data, size);
  image_text::Line line{};
  uint32_t base = 0;
  bool ended = false;
  uint8_t record[image_text::MAX_RECORD_BYTES];

  while (lines.next(&line)) {
    if (image_text::is_blank(line)) continue;
    if (ended)
      return line_error(ImageStatus::syntax, line.number, "text after the end-of-file record");
    if (line.text[0] != ':')
      return line_error(ImageStatus::syntax, line.number, "a record must start with ':'");

    if (line.length - 1 > 2 * image_text::MAX_RECORD_BYTES) {
      return line_error(ImageStatus::syntax, line.number, "longer than any record can be");
    }
    const int n = image_text::decode_hex(line.text + 1, line.length - 1, record);
    if (n < 0)
      return line_error(ImageStatus::syntax, line.number,
                        "not a record of hexadecimal digit pairs");
    if (n < RECORD_OVERHEAD)
      return line_error(ImageStatus::syntax, line.number, "too short for a record");
    const uint8_t count = record[0];
    if (n != count + RECORD_OVERHEAD) {
      return line_error(ImageStatus::syntax, line.number,
                        "holds " + std::to_string(n - RECORD_OVERHEAD) +
                            " data bytes, its count says " + std::to_string(count));
    }
    uint8_t sum = 0;
    for (int i = 0; i < n; ++i) sum = static_cast<uint8_t>(sum + record[i]);
    if (sum != 0) {
      return line_error(ImageStatus::checksum, line.number,
                        "checksum error (record says " + hex2(record[n - 1]) + ", its bytes give " +
                            hex2(record[n - 1] - sum) + ")");
    }

    const uint32_t offset = uint32_t{record[1]} << 8 | record[2];
    const uint8_t type = record[3];
    const uint8_t* payload = record + 4;
    switch (type) {
    case DATA:
      if (offset + count > SEGMENT_SIZE) {
        return line_error(ImageStatus::syntax, line.number,
                          "data record runs past the end of its 64 KiB segment");
      }
      if (count > 0) {
        out->pieces.push_back({uint64_t{base} + offset, static_cast<uint32_t>(out->bytes.size()),
                               count, line.number});
        out->bytes.insert(out->bytes.end(), payload, payload + count);
      }
      break;
    case END:
      if (count != 0)
        return line_error(ImageStatus::syntax, line.number, "end-of-file record with data");
      ended = true;
      break;
    case SEGMENT:
    case LINEAR:
      if (count != 2 || offset != 0) {
        return line_error(ImageStatus::syntax, line.number,
                          "address record needs 2 data bytes and address 0000");
      }
      base = (uint32_t{payload[0]} << 8 | payload[1]) << (type == SEGMENT ? 4 : 16);
      break;
    case START_SEGMENT:
    case START_LINEAR:
      if (count != 4)
        return line_error(ImageStatus::syntax, line.number,
                          "start address record needs 4 data bytes");
      break;
    default:
      return line_error(ImageStatus::record_type, line.number,
                        "record type " + hex2(type) + " is not taken");
    }
  }
  if (!ended) return {ImageStatus::no_end, "no end-of-file record: the file may be cut short"};
  return {};
}
