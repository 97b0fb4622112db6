#include "link/clock.h"

#include <atomic>
#include <ctime>
#include <mutex>

namespace {

// localtime hands out one shared record; the lock keeps two threads that
// read the clock at once (the worker and a test, or two runs) from tearing it.
// A run asks for every frame, dozens of times a second, and localtime may
// look at the time zone's file each time: the second it gave is kept until
// the calendar time moves on.
std::mutex local_time_mutex;
std::time_t asked_at = -1;
uint8_t second_then = 0;

uint8_t wall_clock_second() {
  const std::time_t now = std::time(nullptr);
  std::lock_guard<std::mutex> lock(local_time_mutex);
  if (now == asked_at) return second_then;
  const std::tm* local = std::localtime(&now);
  // Every time zone in use today is offset by whole minutes, so the seconds
  // of the calendar time are the local seconds too.
  second_then =
      local ? static_cast<uint8_t>(local->tm_sec) : static_cast<uint8_t>(((now % 60) + 60) % 60);
  asked_at = now;
  return second_then;
}

std::atomic<LinkClock> active_clock{wall_clock_second};

} // namespace

uint8_t current_second() {
  return active_clock.load()();
}

LinkClock link_set_clock(LinkClock clock) {
  return active_clock.exchange(clock ? clock : wall_clock_second);
}
