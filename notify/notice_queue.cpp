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
  const auto timeout = std::chrono::milliseconds(timeout_ms > 0 ? timeout_ms : 0);
  if (!ready_.wait_for(lock, timeout, [this] { return !notices_.empty() || closed_; }) ||
      notices_.empty()) {
    return false;
  }
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
