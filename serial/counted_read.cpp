#include "serial/counted_read.h"

#include <algorithm>

namespace {

// The Windows time-outs of the port: 1 ms per byte asked for, plus 1 ms.
uint64_t total_ms(size_t bytes) {
  return static_cast<uint64_t>(bytes) + 1;
}

} // namespace

bool counted_read_until(CountedDriver& driver, uint8_t* buffer, size_t capacity, size_t* got,
                        const ReadCheck& check) {
  const uint64_t start = driver.now_ms();
  size_t have = 0;
  bool broken = false;
  while (have < capacity) {
    const size_t ask = std::min(std::max<size_t>(check.missing(buffer, have), 1), capacity - have);
    size_t n = 0;
    if (!driver.read(buffer + have, ask, &n)) {
      broken = true;
      break;
    }
    have += std::min(n, ask);
    if (n < ask) {
      // Ended by a time-out: after bytes, the line went quiet; with none,
      // the wait for the first byte goes on until the read's whole time-out.
      if (have > 0 || driver.now_ms() - start >= total_ms(capacity)) break;
      continue;
    }
    size_t more = 0;
    if (!driver.queued(&more)) {
      broken = true;
      break;
    }
    more = std::min(more, capacity - have);
    if (more > 0) {
      if (!driver.read(buffer + have, more, &n)) {
        broken = true;
        break;
      }
      have += std::min(n, more);
    }
    if (check.complete(buffer, have)) break;
  }
  *got = have;
  return !broken || have > 0;
}
