// How long the link waits for an answer: the controller answers each frame
// within five seconds, counted in whole seconds of the wall clock.
#pragma once

#include <cstdint>

constexpr uint8_t LINK_ANSWER_SECONDS = 5;

inline uint8_t link_deadline_after(uint8_t second) {
  return static_cast<uint8_t>((second + LINK_ANSWER_SECONDS) % 60);
}

// The deadline may lie in the next minute; then the wait is over only
// between the deadline and the second it started in.
inline bool link_wait_over(uint8_t start, uint8_t deadline, uint8_t now) {
  if (start < deadline) {
    return now >= deadline;
  }
  return deadline <= now && now < start;
}
