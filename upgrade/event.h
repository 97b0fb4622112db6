// Auto-reset events for the worker's start and stop signals, on the standard
// library's mutex and condition variable only.
#pragma once

#include <cstdint>

// Result of event_wait_any when neither event came within the time-out.
constexpr int EVENT_WAIT_TIMEOUT = -1;

// Created clear. A signal stays set until one wait consumes it; setting an
// event that is already set changes nothing.
class AutoResetEvent {
public:
  AutoResetEvent() = default;
  AutoResetEvent(const AutoResetEvent&) = delete;
  AutoResetEvent& operator=(const AutoResetEvent&) = delete;

  void set();
  // Whether the event is set at this moment; consumes nothing.
  bool is_set() const;

private:
  friend int event_wait_any(AutoResetEvent& first, AutoResetEvent& second, uint32_t timeout_ms);
  bool signalled_ = false; // guarded by the events' common lock
};

// Waits up to timeout_ms for either event. Returns 0 or 1 for the event that
// ended the wait and consumes its signal; when both are set, 0 wins and 1
// stays set. Returns EVENT_WAIT_TIMEOUT when neither came in time.
int event_wait_any(AutoResetEvent& first, AutoResetEvent& second, uint32_t timeout_ms);
