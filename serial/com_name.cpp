#include "serial/com_name.h"

#include "serial/number_text.h"

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
  // A leading digit 1 to 9 rules out leading zeros and "0x".
  uint32_t number = 0;
  if (*p < '1' || *p > '9' || !parse_u32(p, &number)) return 0;
  return number >= COM_NUMBER_FIRST && number <= COM_NUMBER_LAST ? static_cast<int>(number) : 0;
}
