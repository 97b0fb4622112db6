#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "notify/notice_queue.h"
#include "notify/notify.h"

namespace {

// Takes nothing: the poster must free what it allocated (LeakSanitizer
// reports it otherwise).
class RefusingTarget final : public NoticeTarget {
public:
  bool post(uint32_t, void*) override {
    ++refused;
    return false;
  }
  int refused = 0;
};

class Posters : public ::testing::Test {
protected:
  Notice pop() {
    Notice notice{0, nullptr};
    EXPECT_TRUE(queue.wait_pop(notice, 0));
    held.push_back(notice);
    return notice;
  }
  const TextNotice& pop_text() {
    const Notice notice = pop();
    EXPECT_EQ(notice.kind, NOTIFY_TEXT);
    return *static_cast<TextNotice*>(notice.payload);
  }
  int32_t pop_value(uint32_t kind) {
    const Notice notice = pop();
    EXPECT_EQ(notice.kind, kind);
    return *static_cast<int32_t*>(notice.payload);
  }
  ~Posters() override {
    for (const Notice& notice : held) {
      notice_free(notice.kind, notice.payload);
    }
  }

  NoticeQueue queue;
  std::vector<Notice> held;
};

TEST_F(Posters, TextNotices) {
  EXPECT_EQ(notify_text(&queue, "Erase address 00004000h"), 1);
  EXPECT_EQ(notify_text(&queue, nullptr), 1);
  EXPECT_EQ(notify_text_code(&queue, "serial port read error!\r\n", 1), 1);
  EXPECT_EQ(notify_text_code(&queue, nullptr, -1), 1);

  const TextNotice& plain = pop_text();
  EXPECT_STREQ(plain.text, "Erase address 00004000h");
  EXPECT_EQ(plain.code, 0);
  const TextNotice& missing = pop_text();
  EXPECT_STREQ(missing.text, "");
  const TextNotice& coded = pop_text();
  EXPECT_STREQ(coded.text, "serial port read error!\r\n");
  EXPECT_EQ(coded.code, 1);
  const TextNotice& coded_missing = pop_text();
  EXPECT_STREQ(coded_missing.text, "");
  EXPECT_EQ(coded_missing.code, -1);
}

TEST_F(Posters, LongTextIsCutTo399Characters) {
  std::string long_text(500, 'x');
  long_text[398] = 'y';
  long_text[399] = 'z';
  ASSERT_EQ(notify_text(&queue, long_text.c_str()), 1);
  const TextNotice& notice = pop_text();
  EXPECT_EQ(std::string(notice.text), std::string(398, 'x') + "y");
}

TEST_F(Posters, ValueNotices) {
  EXPECT_EQ(notify_progress(&queue, 1000), 1);
  EXPECT_EQ(notify_progress(&queue, -1), 1);
  EXPECT_EQ(notify_done(&queue, 0), 1);
  EXPECT_EQ(pop_value(NOTIFY_PROGRESS), 1000);
  EXPECT_EQ(pop_value(NOTIFY_PROGRESS), -1);
  EXPECT_EQ(pop_value(NOTIFY_DONE), 0);
}

TEST_F(Posters, NothingIsPostedWithoutATarget) {
  EXPECT_EQ(notify_text(nullptr, "x"), 0);
  EXPECT_EQ(notify_text_code(nullptr, "x", 1), 0);
  EXPECT_EQ(notify_progress(nullptr, 5), 0);
  EXPECT_EQ(notify_done(nullptr, 0), 0);
}

TEST_F(Posters, ARefusedNoticeIsFreedByThePoster) {
  RefusingTarget target;
  EXPECT_EQ(notify_text(&target, "x"), 0);
  EXPECT_EQ(notify_text_code(&target, "x", 1), 0);
  EXPECT_EQ(notify_progress(&target, 5), 0);
  EXPECT_EQ(notify_done(&target, 0), 0);
  EXPECT_EQ(target.refused, 4);

  queue.close();
  EXPECT_EQ(notify_text(&queue, "late"), 0);
  EXPECT_EQ(notify_done(&queue, 0), 0);
}

TEST(NoticeFree, UnknownKindsAreLeftAlone) {
  int32_t on_stack = 5;
  notice_free(0, &on_stack);
  notice_free(5, &on_stack);
  notice_free(WM_UPGRADE_NOTIFY, &on_stack);
  notice_free(NOTIFY_TEXT_OLD, new TextNotice);
  notice_free(NOTIFY_TEXT, nullptr);
  EXPECT_EQ(on_stack, 5);
}

} // namespace
