#include "app/runs/unit_tag.h"

bool unit_tag_is_valid(const std::string& text) {
  if (text.empty() || text.size() > UNIT_TAG_MAX) return false;
  for (const char c : text) {
    if (c < 0x20 || c > 0x7e) return false;
  }
  return true;
}
