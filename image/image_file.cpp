#include "image/image_file.h"

#include <cerrno>
#include <cstring>
#include <fstream>

namespace {

ImageCheck unreadable(const char* why) {
  return {ImageStatus::unreadable, std::string("cannot read the file: ") + why};
}

} // namespace

ImageCheck image_read_file(const std::string& path, std::vector<uint8_t>* out) {
  out->clear();
  errno = 0;
  std::ifstream file(path, std::ios::binary);
  if (!file) return unreadable(errno != 0 ? std::strerror(errno) : "it cannot be opened");
  // Read in pieces rather than trusting a size asked beforehand: a pipe or
  // a device has none, and a file may grow meanwhile.
  char piece[1 << 16];
  while (file.read(piece, sizeof piece) || file.gcount() > 0) {
    out->insert(out->end(), piece, piece + file.gcount());
    if (out->size() > IMAGE_MAX_FILE_SIZE) {
      out->clear();
      return {ImageStatus::too_large, "the file is larger than " +
                                          std::to_string(IMAGE_MAX_FILE_SIZE >> 20) +
                                          " MiB, too large for an image"};
    }
  }
  if (file.bad()) {
    out->clear();
    return unreadable(errno != 0 ? std::strerror(errno) : "read error");
  }
  return {};
}

ImageCheck image_load_file(const std::string& path, uint32_t raw_address, LoadedImage* out) {
  std::vector<uint8_t> data;
  ImageCheck check = image_read_file(path, &data);
  if (!check.ok()) return check;
  return image_load(data.data(), data.size(), raw_address, IMAGE_MAX_SPAN, out);
}
