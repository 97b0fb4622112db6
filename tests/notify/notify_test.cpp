#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>

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
    Notice notice;
    EXPECT_TRUE(queue.wait_pop(notice, 0));
    return notice;
  }
  Notice pop_text() {
    Notice notice = pop();
    EXPECT_EQ(notice.kind, NOTIFY_TEXT);
    return notice;
  }
  int32_t pop_value(uint32_t kind) {
    const Notice notice = pop();
    EXPECT_EQ(notice.kind, kind);
    return notice.value;
  }

  NoticeQueue queue;
};

TEST_F(Posters, TextNotices) {
  EXPECT_EQ(notify_text(&queue, "Erase address 00004000h"), 1);
  EXPECT_EQ(notify_text(&queue, nullptr), 1);
  EXPECT_EQ(notify_text_code(&queue, "serial port read error!\r\n", 1), 1);
  EXPECT_EQ(notify_text_code(&queue, nullptr, -1), 1);

  const Notice plain = pop_text();
  EXPECT_EQ(plain.text, "Erase address 00004000h");
  EXPECT_EQ(plain.code, 0);
  const Notice missing = pop_text();
  EXPECT_EQ(missing.text, "");
  const Notice coded = pop_text();
  EXPECT_EQ(coded.text, "serial port read error!\r\n");
  EXPECT_EQ(coded.code, 1);
  const Notice coded_missing = pop_text();
  EXPECT_EQ(coded_missing.text, "");
  EXPECT_EQ(coded_missing.code, -1);
}

TEST_F(Posters, LongTextIsCutTo399Characters) {
  std::string long_text(500, 'x');
  long_text[398] = 'y';
  long_text[399] = 'z';
  ASSERT_EQ(notify_text(&queue, long_text.c_str()), 1);
  const Notice notice = pop_text();
  EXPECT_EQ(notice.text, std::string(398, 'x') + "y");
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
  notice_free(6, &on_stack);
  notice_free(0x52C, &on_stack); // the Win32 dialog's message number
  notice_free(NOTIFY_TEXT_OLD, new TextNotice);
  notice_free(NOTIFY_TEXT, nullptr);
  EXPECT_EQ(on_stack, 5);
}

// Receivers take each posted payload over into an owning notice; LeakSanitizer
// reports a payload that is not freed on the way.
TEST(NoticeTake, CopiesAndFreesKnownKindsAndLeavesTheRestAlone) {
  Notice notice;
  auto* text = new TextNotice{};
  std::snprintf(text->text, sizeof text->text, "%s", "old kind");
  text->code = -3;
  ASSERT_TRUE(notice_take(NOTIFY_TEXT_OLD, text, notice));
  EXPECT_EQ(notice.kind, NOTIFY_TEXT);
  EXPECT_EQ(notice.text, "old kind");
  EXPECT_EQ(notice.code, -3);

  // A record filled to its end without a terminator gives its 400 characters.
  auto* full = new TextNotice;
  std::memset(full->text, 'x', sizeof full->text);
  ASSERT_TRUE(notice_take(NOTIFY_TEXT, full, notice));
  EXPECT_EQ(notice.text, std::string(NOTIFY_TEXT_SIZE, 'x'));

  ASSERT_TRUE(notice_take(NOTIFY_DONE, new int32_t(9), notice));
  EXPECT_EQ(notice.kind, NOTIFY_DONE);
  EXPECT_EQ(notice.value, 9);
  EXPECT_EQ(notice.text, "");

  int32_t on_stack = 5;
  for (uint32_t kind : {0u, 6u, 0x52Cu}) EXPECT_FALSE(notice_take(kind, &on_stack, notice));
  for (uint32_t kind : {1u, 2u, 3u, 4u}) EXPECT_FALSE(notice_take(kind, nullptr, notice));
  NoticeQueue queue;
  EXPECT_FALSE(queue.post(6, &on_stack));
  EXPECT_EQ(queue.size(), 0u);
  EXPECT_EQ(on_stack, 5);
}

} // namespace
