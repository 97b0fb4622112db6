// Feeds arbitrary text to the Intel HEX parser. Beyond memory safety
// (AddressSanitizer): a refusal has a one-line reason and leaves nothing
// half-parsed behind as success; an accepted file's records account for
// every byte, written back as HEX they read the same, and the span made of
// them is sound (image_fuzz_checks.h).
#include "image/intel_hex.h"

#include "image_fuzz_checks.h"

namespace {

using image_fuzz::hex_pair;

std::string record(uint8_t type, uint16_t address, const uint8_t* data, uint32_t size) {
  uint8_t sum = static_cast<uint8_t>(size + (address >> 8) + address + type);
  std::string line = ":" + hex_pair(static_cast<uint8_t>(size)) +
                     hex_pair(static_cast<uint8_t>(address >> 8)) +
                     hex_pair(static_cast<uint8_t>(address)) + hex_pair(type);
  for (uint32_t i = 0; i < size; ++i) {
    line += hex_pair(data[i]);
    sum = static_cast<uint8_t>(sum + data[i]);
  }
  return line + hex_pair(static_cast<uint8_t>(-sum)) + "\n";
}

// Linear addressing only, split where a record would leave its segment.
std::string write_back(const ImageRecords& r) {
  std::string text;
  for (const ImagePiece& p : r.pieces) {
    for (uint32_t done = 0; done < p.size;) {
      const uint64_t address = p.address + done;
      const uint32_t room = 0x10000 - static_cast<uint32_t>(address & 0xFFFF);
      const uint32_t n = p.size - done < room ? p.size - done : room;
      const uint8_t base[2] = {static_cast<uint8_t>(address >> 24),
                               static_cast<uint8_t>(address >> 16)};
      text += record(4, 0, base, 2);
      text += record(0, static_cast<uint16_t>(address), r.bytes.data() + p.offset + done, n);
      done += n;
    }
  }
  return text + record(1, 0, nullptr, 0);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  ImageRecords records;
  const ImageCheck result = intel_hex_parse(data, size, &records);
  if (!result.ok()) {
    image_fuzz::check(!result.reason.empty() && result.reason.find('\n') == std::string::npos);
    return 0;
  }
  image_fuzz::check_records(records);
  // A record stays inside its 64 KiB segment, so the top is never passed.
  for (const ImagePiece& p : records.pieces)
    image_fuzz::check(p.address + p.size <= (uint64_t{1} << 32));

  const std::string again = write_back(records);
  ImageRecords reread;
  image_fuzz::check(
      intel_hex_parse(reinterpret_cast<const uint8_t*>(again.data()), again.size(), &reread).ok());
  image_fuzz::check_same_data(records, reread);
  image_fuzz::check_layout(records);
  return 0;
}
