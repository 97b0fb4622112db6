#include "notify/notify.h"

#include <algorithm>
#include <cstring>
#include <new>

namespace {

// The payload changes owner only when the target takes it.
int hand_over(NoticeTarget* target, uint32_t kind, void* payload) {
  if (target->post(kind, payload)) {
    return 1;
  }
  notice_free(kind, payload);
  return 0;
}

int post_text(NoticeTarget* target, const char* text, int32_t code) {
  if (!target) {
    return 0;
  }
  TextNotice* notice = new (std::nothrow) TextNotice;
  if (!notice) {
    return 0;
  }
  notice->code = code;
  notice->text[0] = '\0';
  if (text) {
    // A longer text is cut rather than allowed to run past the record.
    std::strncpy(notice->text, text, NOTIFY_TEXT_SIZE - 1);
    notice->text[NOTIFY_TEXT_SIZE - 1] = '\0';
  }
  return hand_over(target, NOTIFY_TEXT, notice);
}

int post_value(NoticeTarget* target, uint32_t kind, int32_t value) {
  if (!target) {
    return 0;
  }
  int32_t* payload = new (std::nothrow) int32_t(value);
  if (!payload) {
    return 0;
  }
  return hand_over(target, kind, payload);
}

} // namespace

int notify_text(NoticeTarget* target, const char* text) {
  return post_text(target, text, 0);
}

int notify_text_code(NoticeTarget* target, const char* text, int32_t code) {
  return post_text(target, text, code);
}

int notify_progress(NoticeTarget* target, int32_t value) {
  return post_value(target, NOTIFY_PROGRESS, value);
}

int notify_done(NoticeTarget* target, int32_t value) {
  return post_value(target, NOTIFY_DONE, value);
}

int notify_step(NoticeTarget* target, int32_t value) {
  return post_value(target, NOTIFY_STEP, value);
}

void notice_free(uint32_t kind, void* payload) {
  switch (kind) {
  case NOTIFY_TEXT_OLD:
  case NOTIFY_TEXT:
    delete static_cast<TextNotice*>(payload);
    break;
  case NOTIFY_PROGRESS:
  case NOTIFY_DONE:
  case NOTIFY_STEP:
    delete static_cast<int32_t*>(payload);
    break;
  default:
    break;
  }
}

bool notice_take(uint32_t kind, void* payload, Notice& out) {
  if (payload == nullptr) {
    return false;
  }
  switch (kind) {
  case NOTIFY_TEXT_OLD:
  case NOTIFY_TEXT: {
    const auto* text = static_cast<const TextNotice*>(payload);
    // A sender that filled the whole record without a terminator still
    // gives no more than the record holds.
    const char* end = std::find(text->text, text->text + NOTIFY_TEXT_SIZE, '\0');
    out = Notice{NOTIFY_TEXT, std::string(text->text, end), text->code, 0};
    break;
  }
  case NOTIFY_PROGRESS:
  case NOTIFY_DONE:
  case NOTIFY_STEP:
    out = Notice{kind, std::string(), 0, *static_cast<const int32_t*>(payload)};
    break;
  default:
    return false;
  }
  notice_free(kind, payload);
  return true;
}
