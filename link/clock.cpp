#include "link/clock.h"

#include <atomic>
#include <ctime>
#include <mutex>

namespace {

// localtime hands out one shared record; the lock keeps two threads that
// read the clock at once (the worker and a test, or two runs) from tearing it.
std::mutex local_time_mutex;

uint8_t wall_clock_second() {
  const std::time_t now = std::time(nullptr);
  std::lock_guard<std::mutex> lock(local_time_mutex);
  const std::tm* local = std::localtime(&now);
  if (local) {
    return static_cast<uint8_t>(local->tm_sec);
  }
  // Every time zone in use today is offset by whole minutes, so the seconds
  // of the calendar time are the local seconds too.
  return static_cast<uint8_t>(((now % 60) + 60) % 60);
}

std::atomic<LinkClock> active_clock{wall_clock_second};

} // namespace

uint8_t current_second() {
  return active_clock.load()();
}

LinkClock link_set_clock(LinkClock clock) {
  return active_clock.exchange(clock ? clock : wall_clock_second);
}
