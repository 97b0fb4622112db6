#include "serial/com_name.h"

namespace {

bool is_letter(char c, char upper) {
  return c == upper || c == upper + ('a' - 'A');
}

} // namespace

int com_number(const char* name) {
  if (!name) return 0;
  const char* p = name;
  if (p[0] == '\\' && p[1] == '\\' && p[2] == '.' && p[3] == '\\') p += 4;
  if (!is_letter(p[0], 'C') || !is_letter(p[1], 'O') || !is_letter(p[2], 'M')) return 0;
  p += 3;
  if (*p < '1' || *p > '9') return 0;
  int number = 0;
  for (; *p; ++p) {
    if (*p < '0' || *p > '9') return 0;
    number = number * 10 + (*p - '0');
    if (number > COM_NUMBER_LAST) return 0;
  }
  return number;
}
