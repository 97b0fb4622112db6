#include <cctype>
#include <vector>

#include "serial/usb_identity.h"

namespace {

std::vector<std::string> split(const std::string& text, const char* separators) {
  std::vector<std::string> parts(1);
  for (char c : text) {
    bool separator = false;
    for (const char* s = separators; *s; ++s) separator = separator || c == *s;
    if (separator) {
      parts.emplace_back();
    } else {
      parts.back() += c;
    }
  }
  return parts;
}

// The four hex digits after `prefix` ("VID_"), in lower case as Linux shows them.
std::string hex_id(const std::string& part, const char* prefix) {
  const std::string p = prefix;
  if (part.size() != p.size() + 4 || part.compare(0, p.size(), p) != 0) return "";
  std::string id;
  for (size_t i = p.size(); i < part.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(part[i]);
    if (!std::isxdigit(c)) return "";
    id += static_cast<char>(std::tolower(c));
  }
  return id;
}

} // namespace

UsbIdentity usb_identity_from_instance_id(const std::string& id) {
  UsbIdentity usb;
  const std::vector<std::string> levels = split(id, "\\");
  if (levels.size() != 3) return usb;
  if (levels[0] == "USB") {
    const std::vector<std::string> ids = split(levels[1], "&");
    if (ids.size() != 2) return usb; // one interface of a composite device
    usb.vendor_id = hex_id(ids[0], "VID_");
    usb.product_id = hex_id(ids[1], "PID_");
    if (levels[2].find('&') == std::string::npos) usb.serial = levels[2];
  } else if (levels[0] == "FTDIBUS") {
    const std::vector<std::string> ids = split(levels[1], "+");
    if (ids.size() < 2) return usb;
    usb.vendor_id = hex_id(ids[0], "VID_");
    usb.product_id = hex_id(ids[1], "PID_");
    // FTDI's driver appends the channel's letter (A for the first) to the
    // serial number the chip reports.
    if (ids.size() >= 3 && ids[2].size() > 1) usb.serial = ids[2].substr(0, ids[2].size() - 1);
  }
  if (usb.vendor_id.empty() || usb.product_id.empty()) return UsbIdentity{};
  return usb;
}
