#include "tests/support/scripted_line.h"

#include <algorithm>
#include <cstring>
#include <utility>

void ScriptedLine::push_read(Bytes chunk) {
  std::lock_guard<std::mutex> lock(mutex_);
  chunks_.push_back(std::move(chunk));
}

void ScriptedLine::fail_reads(bool fail) {
  std::lock_guard<std::mutex> lock(mutex_);
  fail_reads_ = fail;
}

void ScriptedLine::fail_writes(bool fail) {
  std::lock_guard<std::mutex> lock(mutex_);
  fail_writes_ = fail;
}

void ScriptedLine::set_read_hook(std::function<void()> hook) {
  std::lock_guard<std::mutex> lock(mutex_);
  read_hook_ = std::move(hook);
}

void ScriptedLine::set_write_hook(std::function<void(const Bytes&)> hook) {
  std::lock_guard<std::mutex> lock(mutex_);
  write_hook_ = std::move(hook);
}

Bytes::size_type ScriptedLine::pending_reads() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return chunks_.size();
}

size_t ScriptedLine::read_count() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return reads_;
}

std::vector<Bytes> ScriptedLine::writes() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return writes_;
}

void ScriptedLine::clear_writes() {
  std::lock_guard<std::mutex> lock(mutex_);
  writes_.clear();
  verdicts_.clear();
}

std::vector<bool> ScriptedLine::verdicts() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return verdicts_;
}

bool ScriptedLine::read_until(uint8_t* buffer, size_t capacity, size_t* got,
                              const ReadCheck& check) {
  if (!read(buffer, capacity, got)) {
    return false;
  }
  if (*got > 0) {
    const bool verdict = check.complete(buffer, *got);
    std::lock_guard<std::mutex> lock(mutex_);
    verdicts_.push_back(verdict);
  }
  return true;
}

bool ScriptedLine::read(uint8_t* buffer, size_t capacity, size_t* got) {
  std::function<void()> hook;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    hook = read_hook_;
  }
  if (hook) {
    hook();
  }
  std::lock_guard<std::mutex> lock(mutex_);
  ++reads_;
  *got = 0;
  if (fail_reads_) {
    return false;
  }
  if (chunks_.empty()) {
    return true;
  }
  Bytes& chunk = chunks_.front();
  const size_t n = std::min(capacity, chunk.size());
  if (n > 0) {
    std::memcpy(buffer, chunk.data(), n);
  }
  *got = n;
  if (n == chunk.size()) {
    chunks_.pop_front();
  } else {
    chunk.erase(chunk.begin(), chunk.begin() + static_cast<std::ptrdiff_t>(n));
  }
  return true;
}

bool ScriptedLine::write(const uint8_t* data, size_t size) {
  std::function<void(const Bytes&)> hook;
  Bytes frame(data, data + size);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (fail_writes_) {
      return false;
    }
    writes_.push_back(frame);
    hook = write_hook_;
  }
  if (hook) {
    hook(frame);
  }
  return true;
}
