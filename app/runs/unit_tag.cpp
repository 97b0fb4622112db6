#include "app/runs/unit_tag.h"

#include <algorithm>

bool unit_tag_is_valid(const std::string& text) {
  if (text.empty() || text.size() > UNIT_TAG_MAX) return false;
  for (const char c : text) {
    if (c < 0x20 || c > 0x7e) return false;
  }
  return true;
}

bool firmware_product_is_valid(const std::string& product) {
  return !product.empty() && product.size() <= FIRMWARE_PRODUCT_MAX &&
         std::all_of(product.begin(), product.end(), [](char c) {
           return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                  c == '.' || c == '_' || c == '-';
         });
}
