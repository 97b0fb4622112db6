// Notices from the upgrade worker to the dialog (or the CLI): a kind and a
// heap payload that changes owner with the post.
#pragma once

#include <cstdint>
#include <string>

// Kinds. 1 is an old text kind that no poster sends; receivers treat it as 3.
constexpr uint32_t NOTIFY_TEXT_OLD = 1;
constexpr uint32_t NOTIFY_PROGRESS = 2;
constexpr uint32_t NOTIFY_TEXT = 3;
constexpr uint32_t NOTIFY_DONE = 4;
// The part of the run that begins (the worker's RunStep) as the value; posted
// only to targets that ask for it, never to the dialog.
constexpr uint32_t NOTIFY_STEP = 5;

constexpr int NOTIFY_TEXT_SIZE = 400;

struct TextNotice {
  char text[NOTIFY_TEXT_SIZE]; // NUL-terminated, at most 399 characters
  int32_t code;
};

// Where notices go. post() hands the payload over and returns true, or
// returns false when the notice could not be delivered (the poster then
// frees the payload). Implementations: PostMessageA in the Win32 dialog, the
// wx event queue, a thread-safe queue in the CLI and the tests.
class NoticeTarget {
public:
  virtual bool post(uint32_t kind, void* payload) = 0;

protected:
  ~NoticeTarget() = default;
};

// Posters: 1 once handed to the target, 0 when the target is missing, the
// payload cannot be allocated or the post is refused.
int notify_text(NoticeTarget* target, const char* text);
int notify_text_code(NoticeTarget* target, const char* text, int32_t code);
int notify_progress(NoticeTarget* target, int32_t value);
int notify_done(NoticeTarget* target, int32_t value);
int notify_step(NoticeTarget* target, int32_t value);

// Frees a payload received with `kind` (1 to 5); other kinds are not touched.
void notice_free(uint32_t kind, void* payload);

// A notice as the C++ receivers hold it: a value that owns its text.
struct Notice {
  uint32_t kind = 0; // NOTIFY_PROGRESS, NOTIFY_TEXT, NOTIFY_DONE or NOTIFY_STEP
  std::string text;  // a text notice's text
  int32_t code = 0;  // a text notice's code
  int32_t value = 0; // the progress, done or step value
};

// Takes a posted payload over: copies it into `out`, frees it and returns
// true. The old text kind arrives as NOTIFY_TEXT. Returns false, and leaves
// the payload alone, for a kind other than 1 to 5 or a missing payload.
bool notice_take(uint32_t kind, void* payload, Notice& out);
