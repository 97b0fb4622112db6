#include "app/runs/notice_lines.h"

std::string notice_lines(const char* text) {
  std::string out;
  if (text == nullptr || text[0] == '\0') return out;
  for (const char* p = text; *p != '\0'; ++p) {
    if (p[0] == '\r' && p[1] == '\n') continue; // the '\n' that follows ends the line
    out += *p;
  }
  if (out.back() != '\n') out += '\n';
  return out;
}
