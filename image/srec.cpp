#include "image/srec.h"

#include "image/text_records.h"

namespace {

using image_text::hex2;
using image_text::line_error;

// Address bytes per record type S0 to S9; 0 for the unused S4.
constexpr int ADDRESS_BYTES[10] = {2, 2, 3, 4, 0, 2, 3, 4, 3, 2};

bool is_data(int type) {
  return type >= 1 && type <= 3;
}
bool is_count(int type) {
  return type == 5 || type == 6;
}
bool is_termination(int type) {
  return type >= 7;
}

} // namespace

ImageCheck srec_parse(const uint8_t* data, size_t size, ImageRecords* out) {
  out->bytes.clear();
  out->pieces.clear();
  image_text::LineReader lines(data, size);
  image_text::Line line{};
  bool ended = false;
  uint32_t data_records = 0;
  uint8_t record[image_text::MAX_RECORD_BYTES];

  while (lines.next(&line)) {
    if (image_text::is_blank(line)) continue;
    if (ended)
      return line_error(ImageStatus::syntax, line.number, "text after the termination record");
    if (line.length < 2 || line.text[0] != 'S' || line.text[1] < '0' || line.text[1] > '9') {
      return line_error(ImageStatus::syntax, line.number,
                        "a record must start with S and a type digit");
    }
    const int type = line.text[1] - '0';
    if (ADDRESS_BYTES[type] == 0) {
      return line_error(ImageStatus::record_type, line.number,
                        "record type S" + std::to_string(type) + " is not taken");
    }
    if (line.length - 2 > 2 * image_text::MAX_RECORD_BYTES) {
      return line_error(ImageStatus::syntax, line.number, "longer than any record can be");
    }
    const int n = image_text::decode_hex(line.text + 2, line.length - 2, record);
    if (n < 0)
      return line_error(ImageStatus::syntax, line.number,
                        "not a record of hexadecimal digit pairs");
    const int address_bytes = ADDRESS_BYTES[type];
    // The count covers address, data and checksum, not itself.
    if (n < 1 || record[0] != n - 1) {
      return line_error(ImageStatus::syntax, line.number,
                        n < 1 ? std::string("too short for a record")
                              : "holds " + std::to_string(n - 1) +
                                    " bytes after its count, the count says " +
                                    std::to_string(record[0]));
    }
    if (n < 1 + address_bytes + 1)
      return line_error(ImageStatus::syntax, line.number, "too short for its address");
    uint8_t sum = 0;
    for (int i = 0; i < n - 1; ++i) sum = static_cast<uint8_t>(sum + record[i]);
    const uint8_t expected = static_cast<uint8_t>(~sum);
    if (record[n - 1] != expected) {
      return line_error(ImageStatus::checksum, line.number,
                        "checksum error (record says " + hex2(record[n - 1]) + ", its bytes give " +
                            hex2(expected) + ")");
    }

    uint32_t address = 0;
    for (int i = 0; i < address_bytes; ++i) address = address << 8 | record[1 + i];
    const uint8_t* payload = record + 1 + address_bytes;
    const auto payload_size = static_cast<uint32_t>(n - 2 - address_bytes);
    if (is_data(type)) {
      ++data_records;
      if (payload_size > 0) {
        out->pieces.push_back(
            {address, static_cast<uint32_t>(out->bytes.size()), payload_size, line.number});
        out->bytes.insert(out->bytes.end(), payload, payload + payload_size);
      }
    } else if (payload_size != 0 && type != 0) {
      return line_error(ImageStatus::syntax, line.number,
                        "record type S" + std::to_string(type) + " carries no data");
    } else if (is_count(type) && address != data_records) {
      return line_error(ImageStatus::syntax, line.number,
                        "count record says " + std::to_string(address) +
                            " data records, the file has " + std::to_string(data_records) +
                            " before it");
    } else if (is_termination(type)) {
      ended = true;
    }
  }
  if (!ended)
    return {ImageStatus::no_end, "no termination record (S7, S8 or S9): the file may be cut short"};
  return {};
}
