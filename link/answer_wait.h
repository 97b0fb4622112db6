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

// One wait for an answer: five seconds from its start, or from the last frame
// sent, which gives the controller its full time again.
class AnswerWait {
public:
  explicit AnswerWait(uint8_t second) { restart(second); }
  void restart(uint8_t second) {
    start_ = second;
    deadline_ = link_deadline_after(second);
  }
  bool over(uint8_t now) const { return link_wait_over(start_, deadline_, now); }

private:
  uint8_t start_ = 0;
  uint8_t deadline_ = 0;
};
