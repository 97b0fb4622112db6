#include "sim/sim_line.h"

#include <algorithm>
#include <cstddef>
#include <utility>

SimLine::SimLine(SimConfig config) : controller_(std::move(config)) {}

void SimLine::set_read_hook(std::function<void()> hook) {
  std::lock_guard<std::mutex> lock(mutex_);
  hook_ = std::move(hook);
}

bool SimLine::read(uint8_t* buffer, size_t capacity, size_t* got) {
  std::function<void()> hook;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    hook = hook_;
  }
  if (hook) {
    hook();
  }
  std::lock_guard<std::mutex> lock(mutex_);
  if (got) {
    *got = 0;
  }
  if (closed_ || !buffer || !got) {
    return false;
  }
  size_t n = 0;
  while (n < capacity && !unread_.empty()) {
    Chunk& chunk = unread_.front();
    if (chunk.byte_at_a_time && n > 0) {
      break;
    }
    const size_t room = chunk.byte_at_a_time ? 1 : capacity - n;
    const size_t take = std::min(room, chunk.bytes.size() - chunk.taken);
    std::copy_n(chunk.bytes.begin() + static_cast<std::ptrdiff_t>(chunk.taken), take, buffer + n);
    chunk.taken += take;
    n += take;
    const bool one_byte = chunk.byte_at_a_time;
    if (chunk.taken == chunk.bytes.size()) {
      unread_.pop_front();
    }
    if (one_byte) {
      break;
    }
  }
  *got = n;
  return true;
}

bool SimLine::write(const uint8_t* data, size_t size) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (closed_ || (!data && size > 0)) {
    return false;
  }
  std::vector<SimAnswer> answers;
  controller_.feed(data, size, &answers);
  for (SimAnswer& answer : answers) {
    delay_us_ += answer.delay_us;
    unread_.push_back(Chunk{std::move(answer.bytes), 0, answer.byte_at_a_time});
  }
  // The request that drops the line still left the host's side.
  closed_ = controller_.line_closed();
  return true;
}

void SimLine::close() {
  std::lock_guard<std::mutex> lock(mutex_);
  closed_ = true;
}

bool SimLine::closed() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return closed_;
}

size_t SimLine::unread() const {
  std::lock_guard<std::mutex> lock(mutex_);
  size_t n = 0;
  for (const Chunk& chunk : unread_) {
    n += chunk.bytes.size() - chunk.taken;
  }
  return n;
}

uint64_t SimLine::total_delay_us() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return delay_us_;
}
