// Feeds arbitrary text to the S-record parser. Beyond memory safety
// (AddressSanitizer): a refusal has a one-line reason; an accepted file's
// records account for every byte, written back as S3 records they read the
// same, and the span made of them is sound (image_fuzz_checks.h).
#include "image/srec.h"

#include "image_fuzz_checks.h"

namespace {

using image_fuzz::hex_pair;

std::string record(char type, uint32_t address, const uint8_t* data, uint32_t size) {
  const auto count = static_cast<uint8_t>(4 + size + 1);
  uint8_t sum = count;
  std::string line = std::string("S") + type + hex_pair(count);
  for (int shift = 24; shift >= 0; shift -= 8) {
    const auto b = static_cast<uint8_t>(address >> shift);
    line += hex_pair(b);
    sum = static_cast<uint8_t>(sum + b);
  }
  for (uint32_t i = 0; i < size; ++i) {
    line += hex_pair(data[i]);
    sum = static_cast<uint8_t>(sum + data[i]);
  }
  return line + hex_pair(static_cast<uint8_t>(~sum)) + "\n";
}

std::string write_back(const ImageRecords& r) {
  std::string text;
  for (const ImagePiece& p : r.pieces) {
    text += record('3', static_cast<uint32_t>(p.address), r.bytes.data() + p.offset, p.size);
  }
  return text + record('7', 0, nullptr, 0);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  ImageRecords records;
  const ImageCheck result = srec_parse(data, size, &records);
  if (!result.ok()) {
    image_fuzz::check(!result.reason.empty() && result.reason.find('\n') == std::string::npos);
    return 0;
  }
  image_fuzz::check_records(records);
  for (const ImagePiece& p : records.pieces)
    image_fuzz::check(p.address <= UINT32_MAX && p.size <= 250);

  const std::string again = write_back(records);
  ImageRecords reread;
  image_fuzz::check(
      srec_parse(reinterpret_cast<const uint8_t*>(again.data()), again.size(), &reread).ok());
  image_fuzz::check_same_data(records, reread);
  image_fuzz::check_layout(records);
  return 0;
}
