#include "upgrade/event.h"

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace {

// One lock and one condition for every event: a wait on two events then needs
// no registration with each of them, and signals are rare (two per run).
struct EventHub {
  std::mutex lock;
  std::condition_variable changed;
};

EventHub& hub() {
  static EventHub instance;
  return instance;
}

} // namespace

void AutoResetEvent::set() {
  EventHub& h = hub();
  {
    std::lock_guard<std::mutex> guard(h.lock);
    signalled_ = true;
  }
  h.changed.notify_all();
}

bool AutoResetEvent::is_set() const {
  EventHub& h = hub();
  std::lock_guard<std::mutex> guard(h.lock);
  return signalled_;
}

int event_wait_any(AutoResetEvent& first, AutoResetEvent& second, uint32_t timeout_ms) {
  EventHub& h = hub();
  std::unique_lock<std::mutex> guard(h.lock);
  const bool came = h.changed.wait_for(guard, std::chrono::milliseconds(timeout_ms),
                                       [&] { return first.signalled_ || second.signalled_; });
  if (!came) {
    return EVENT_WAIT_TIMEOUT;
  }
  if (first.signalled_) {
    first.signalled_ = false;
    return 0;
  }
  second.signalled_ = false;
  return 1;
}
