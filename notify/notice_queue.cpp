#include "notify/notice_queue.h"

#include <chrono>
#include <utility>

bool NoticeQueue::post(uint32_t kind, void* payload) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    Notice notice;
    if (closed_ || !notice_take(kind, payload, notice)) {
      return false;
    }
    notices_.push_back(std::move(notice));
  }
  if (wake_ == NoticeWake::each || kind == NOTIFY_DONE) ready_.notify_one();
  return true;
}

bool NoticeQueue::wait_pop(Notice& out, int timeout_ms) {
  std::unique_lock<std::mutex> lock(mutex_);
  // Not waiting at all is only a look: a wait with no time left still costs
  // a trip through the scheduler.
  const auto ready = [this] { return !notices_.empty() || closed_; };
  if (timeout_ms > 0 && !ready_.wait_for(lock, std::chrono::milliseconds(timeout_ms), ready)) {
    return false;
  }
  if (notices_.empty()) return false;
  out = std::move(notices_.front());
  notices_.pop_front();
  return true;
}

void NoticeQueue::close() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    closed_ = true;
  }
  ready_.notify_all();
}

size_t NoticeQueue::size() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return notices_.size();
}
