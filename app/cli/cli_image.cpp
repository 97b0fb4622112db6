#include "app/cli/cli_image.h"

#include <cstdio>
#include <memory>
#include <vector>

#include "app/access/release_key.h"
#include "image/image_file.h"
#include "image/sha256.h"

CliEnding cli_load_image(const CliOptions& options, LoadedImage* loaded) {
  const uint32_t raw_address = options.address_given ? options.address : IMAGE_DEFAULT_RAW_ADDRESS;
  ImageCheck check;
  if (options.release_key.empty()) {
    check = image_load_file(options.image, raw_address, loaded);
  } else {
    std::string problem;
    const std::unique_ptr<ReleaseKey> key = ReleaseKey::read_file(options.release_key, &problem);
    if (!key) return {CliStatus::usage, "--release-key " + problem};
    if (options.image.empty()) return {};
    std::vector<uint8_t> file;
    problem = release_read_signed_file(*key, options.image, &file);
    if (!problem.empty()) return {CliStatus::usage, options.image + ": " + problem};
    check = image_load(file.data(), file.size(), raw_address, IMAGE_MAX_SPAN, loaded);
  }
  if (!check.ok()) {
    return {CliStatus::usage, options.image + ": " + check.reason};
  }
  if (options.address_given && loaded->format != ImageFormat::raw) {
    return {CliStatus::usage,
            options.image + ": --address places a raw binary only; this file is " +
                image_format_name(loaded->format) + " and carries its own addresses"};
  }
  return {};
}

std::string cli_gap_lines(const LoadedImage& loaded) {
  std::string out;
  char line[96];
  for (const ImageGap& gap : loaded.gaps) {
    std::snprintf(line, sizeof line, "gap of %u bytes at 0x%08X filled with 0xFF\n",
                  static_cast<unsigned>(gap.size), static_cast<unsigned>(gap.address));
    out += line;
  }
  return out;
}

std::string cli_image_info(const std::string& file, const char* format,
                           const FirmwareImage& image) {
  const std::string origin = file.empty() ? "built-in" : file + " (" + format + ")";
  char span[64];
  // A size of 0 never reaches here: the loader refuses empty images.
  std::snprintf(span, sizeof span, "0x%08X-0x%08X", static_cast<unsigned>(image.load_address),
                static_cast<unsigned>(image.load_address + image.size - 1));
  return "image: " + origin + "\nspan: " + span + "\nsize: " + std::to_string(image.size) +
         " bytes\nsha256: " + sha256_hex(sha256(image.bytes, image.size)) + "\n";
}
