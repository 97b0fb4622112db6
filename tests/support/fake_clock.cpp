#include "tests/support/fake_clock.h"

#include <cassert>

namespace {

// The link's clock is a plain function, so it reaches the clock through this.
std::atomic<FakeClock*> installed{nullptr};

uint8_t fake_second() {
  const FakeClock* clock = installed.load();
  return clock ? clock->second() : 0;
}

} // namespace

FakeClock::FakeClock() {
  FakeClock* none = nullptr;
  const bool first = installed.compare_exchange_strong(none, this);
  assert(first && "only one FakeClock at a time");
  (void)first;
  replaced_ = link_set_clock(fake_second);
}

FakeClock::~FakeClock() {
  link_set_clock(replaced_);
  installed.store(nullptr);
}

uint8_t FakeClock::second() const {
  const int64_t ms = base_ms_.load() + elapsed_ms_.load();
  return static_cast<uint8_t>((ms / 1000) % 60);
}

int64_t FakeClock::elapsed_ms() const {
  return elapsed_ms_.load();
}

void FakeClock::set_time(uint8_t second, int millisecond) {
  base_ms_.store(int64_t{second} * 1000 + millisecond);
  elapsed_ms_.store(0);
}

void FakeClock::advance_ms(int64_t ms) {
  elapsed_ms_.fetch_add(ms);
}
