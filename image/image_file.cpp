#include "image/image_file.h"

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>

namespace {

ImageCheck unreadable(const char* why) {
  return {ImageStatus::unreadable, std::string("cannot read the file: ") + why};
}

ImageCheck too_large() {
  return {ImageStatus::too_large, "the file is larger than " +
                                      std::to_string(IMAGE_MAX_FILE_SIZE >> 20) +
                                      " MiB, too large for an image"};
}

// Decided from what the file system says, before the file is opened: opening
// a named pipe waits for a writer, and a device or a sparse file would be
// read up to the limit before being refused. A name the system cannot look
// up is left to the open, which says why.
ImageCheck refusal_before_open(const std::string& path) {
  namespace fs = std::filesystem;
  std::error_code error;
  const fs::file_status status = fs::status(path, error);
  if (error) return {};
  if (!fs::is_regular_file(status)) return unreadable("it is not a regular file");
  const uintmax_t size = fs::file_size(path, error);
  if (!error && size > IMAGE_MAX_FILE_SIZE) return too_large();
  return {};
}

} // namespace

ImageCheck image_read_file(const std::string& path, std::vector<uint8_t>* out) {
  out->clear();
  const ImageCheck refused = refusal_before_open(path);
  if (!refused.ok()) return refused;
  errno = 0;
  std::ifstream file(path, std::ios::binary);
  if (!file) return unreadable(errno != 0 ? std::strerror(errno) : "it cannot be opened");
  // Read in pieces rather than trusting the size asked beforehand: the file
  // may grow meanwhile.
  char piece[1 << 16];
  while (file.read(piece, sizeof piece) || file.gcount() > 0) {
    out->insert(out->end(), piece, piece + file.gcount());
    if (out->size() > IMAGE_MAX_FILE_SIZE) {
      out->clear();
      return too_large();
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
