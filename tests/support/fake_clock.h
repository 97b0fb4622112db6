// A stand-in for the link's wall clock, so that time-outs run without waiting.
//
//   FakeClock clock;             // installed; second 0
//   clock.set_second(57);        // or set_time(57, 900) for 57.9 s
//   clock.set_step_ms(1000);     // each on_read() moves it one second on
//   line.set_read_hook([&] { clock.on_read(); });
//
// One FakeClock may exist at a time; it installs itself with link_set_clock
// and puts the previous clock back when destroyed. All members are safe to
// call from any thread (the worker reads the clock while a test moves it).
#pragma once

#include <atomic>
#include <cstdint>

#include "link/clock.h"

class FakeClock {
public:
  FakeClock();
  ~FakeClock();
  FakeClock(const FakeClock&) = delete;
  FakeClock& operator=(const FakeClock&) = delete;

  // Seconds field as the link sees it: whole seconds modulo 60.
  uint8_t second() const;
  // Milliseconds since the clock was made (or since the last set_*): the
  // elapsed fake time, which never wraps.
  int64_t elapsed_ms() const;

  void set_second(uint8_t second) { set_time(second, 0); }
  void set_time(uint8_t second, int millisecond);
  void advance(int seconds) { advance_ms(int64_t{seconds} * 1000); }
  void advance_ms(int64_t ms);

  // How far on_read() moves the clock; 1000 ms unless set.
  void set_step_ms(int64_t ms) { step_ms_.store(ms); }
  void on_read() { advance_ms(step_ms_.load()); }

private:
  std::atomic<int64_t> base_ms_{0};    // time of day set last, in ms
  std::atomic<int64_t> elapsed_ms_{0}; // fake time since then
  std::atomic<int64_t> step_ms_{1000};
  LinkClock replaced_;
};
