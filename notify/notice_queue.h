// A notice target that queues notices for another thread: the CLI's main
// loop and the tests receive the worker's notices through it. A reader that
// looks at the queue at its own pace anyway asks to be woken for the end
// notice only: a run's hundreds of texts and progress values then cost the
// reader one wake per look, not one each.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>

#include "notify/notify.h"

enum class NoticeWake { each, end_only };

class NoticeQueue final : public NoticeTarget {
public:
  explicit NoticeQueue(NoticeWake wake = NoticeWake::each) : wake_(wake) {}
  NoticeQueue(const NoticeQueue&) = delete;
  NoticeQueue& operator=(const NoticeQueue&) = delete;

  // Takes the payload over at once (see notice_take) and returns true;
  // returns false once closed or for a kind it does not know (the poster
  // then keeps and frees the payload).
  bool post(uint32_t kind, void* payload) override;

  // Waits at most timeout_ms (0: not at all) for a notice. True with the
  // oldest notice in `out`; false when none came in time. Notices queued
  // before close() are still handed out.
  bool wait_pop(Notice& out, int timeout_ms);

  // Refuses every later post and wakes the waiters.
  void close();

  size_t size() const;

private:
  const NoticeWake wake_;
  mutable std::mutex mutex_;
  std::condition_variable ready_;
  std::deque<Notice> notices_;
  bool closed_ = false;
};
