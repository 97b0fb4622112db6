#include <gtest/gtest.h>

#include <thread>

#include "notify/notice_queue.h"

namespace {

TEST(NoticeQueue, KeepsTheOrderOfOneThreadsNoticesAcrossThreads) {
  constexpr int32_t count = 2000;
  NoticeQueue queue;
  std::thread worker([&] {
    for (int32_t i = 0; i < count; ++i) {
      notify_progress(&queue, i);
    }
    notify_done(&queue, 0);
  });

  int32_t expected = 0;
  bool done = false;
  while (!done) {
    Notice notice;
    ASSERT_TRUE(queue.wait_pop(notice, 10000));
    if (notice.kind == NOTIFY_DONE) {
      done = true;
    } else {
      EXPECT_EQ(notice.value, expected++);
    }
  }
  worker.join();
  EXPECT_EQ(expected, count);
  EXPECT_EQ(queue.size(), 0u);
}

TEST(NoticeQueue, WaitIsBoundedAndCloseDrainsThenRefuses) {
  NoticeQueue queue;
  Notice notice;
  EXPECT_FALSE(queue.wait_pop(notice, 0));
  EXPECT_FALSE(queue.wait_pop(notice, 1));
  EXPECT_FALSE(queue.wait_pop(notice, -5));

  notify_progress(&queue, 7);
  queue.close();
  EXPECT_EQ(notify_progress(&queue, 8), 0);
  ASSERT_TRUE(queue.wait_pop(notice, 0));
  EXPECT_EQ(notice.value, 7);
  EXPECT_FALSE(queue.wait_pop(notice, 10000)); // closed and empty: no wait
}

TEST(NoticeQueue, CloseWakesAWaiter) {
  NoticeQueue queue;
  bool got = true;
  std::thread waiter([&] {
    Notice notice;
    got = queue.wait_pop(notice, 60000);
  });
  queue.close();
  waiter.join();
  EXPECT_FALSE(got);
}

TEST(NoticeQueue, LeftoverNoticesAreFreedWithTheQueue) {
  NoticeQueue queue;
  notify_text(&queue, "never read");
  notify_progress(&queue, 1);
  notify_done(&queue, 0);
  EXPECT_EQ(queue.size(), 3u);
}

} // namespace
