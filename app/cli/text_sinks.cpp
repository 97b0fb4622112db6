#include "app/cli/text_sinks.h"

#include "app/runs/cli_ending.h"
#include "app/runs/notice_lines.h"

std::string prefixed(const std::string& port, const std::string& text) {
  std::string out;
  size_t at = 0;
  while (at < text.size()) {
    size_t end = text.find('\n', at);
    if (end == std::string::npos) end = text.size() - 1;
    out += port + ": " + text.substr(at, end - at + 1);
    at = end + 1;
  }
  if (!out.empty() && out.back() != '\n') out += '\n';
  return out;
}

void PlainTexts::text(size_t /*run*/, const char* text, int32_t /*code*/, double /*now_s*/) {
  line_.clear();
  out_(notice_lines(text));
}

void PrefixedTexts::text(size_t run, const char* text, int32_t /*code*/, double /*now_s*/) {
  out_(prefixed(ports_[run], notice_lines(text)));
}

std::string RunNotes::named(size_t run, const std::string& text) const {
  return ports_.size() == 1 ? text : prefixed(ports_[run], text);
}

void RunNotes::not_opened(size_t run, const std::string& failure) {
  err_(named(run, failure));
}

void RunNotes::cancelling() {
  if (ports_.size() == 1) {
    line_.note("cancelling: the run stops at its next progress message\n");
  } else if (!board_shown_) {
    err_("cancelling: every run stops at its next progress message\n");
  }
}

void RunNotes::lost(size_t run) {
  line_.clear();
  if (!board_shown_) err_(named(run, cli_error_line(LOST_RUN_TEXT)));
}

void RunNotes::ended(size_t run, const PortOutcome& outcome, double /*now_s*/) {
  if (!outcome.never_answered || board_shown_) return;
  line_.clear();
  err_(named(run, cli_error_line(NO_ANSWER_HINT)));
}
