#include "app/cli/run_verdict.h"

#include <cstring>
#include <string>
#include <vector>

#include "link/engine.h"

const char* const CLI_SUCCESS_TEXT = "Program success, starting application...";

namespace {

// What a failure text must start with: the whole text, or the part before
// the number it carries.
std::string failure_pattern(const char* made) {
  const char* number = std::strchr(made, '(');
  return number ? std::string(made, number + 1) : std::string(made);
}

// The link itself writes every failure text once, so this list can never
// drift from what a run posts.
std::vector<std::string> make_failure_patterns() {
  std::vector<std::string> patterns;
  char made[LINK_TEXT_SIZE];
  for (int result = EXCHANGE_BAD_PARAMETER; result <= 256; ++result) {
    // 251..255, then 0 (256): the exchange ended without an answer to judge.
    link_outcome(nullptr, static_cast<int8_t>(result & 0xFF), made);
    patterns.push_back(failure_pattern(made));
  }

  LinkContext link{};
  link.error = PARSE_BAD_CHECKSUM;
  // "transmission done, success!" belongs here too: the link finishing
  // before the sequence did means part of the image never went out.
  for (uint8_t status : {LINK_RUNNING, LINK_FORMAT_ERROR, LINK_RETRIES_EXHAUSTED, LINK_DONE,
                         static_cast<uint8_t>(LINK_DONE + 1)}) {
    link.status = status;
    link_outcome(&link, static_cast<int8_t>(EXCHANGE_STOPPED), made);
    patterns.push_back(failure_pattern(made));
  }

  link.ack_count = 1;
  link.received.command = CMD_ACK;
  link.received.length = 2;
  link.received.payload[1] = 1; // a device error code
  link_outcome(&link, static_cast<int8_t>(EXCHANGE_OK), made);
  patterns.push_back(failure_pattern(made));
  return patterns;
}

} // namespace

bool is_failure_text(const char* text) {
  static const std::vector<std::string> patterns = make_failure_patterns();
  if (text == nullptr) return false;
  for (const std::string& pattern : patterns) {
    if (!pattern.empty() && std::strncmp(text, pattern.c_str(), pattern.size()) == 0 &&
        (pattern.back() == '(' || text[pattern.size()] == '\0')) {
      return true;
    }
  }
  return false;
}

void RunVerdict::on_text(const char* text, int32_t code) {
  if (code != 0 || is_failure_text(text)) failure_seen_ = true;
  last_was_success_ = text != nullptr && std::strcmp(text, CLI_SUCCESS_TEXT) == 0;
}

int RunVerdict::exit_code() const {
  return done_ && last_was_success_ && !failure_seen_ ? CLI_EXIT_OK : CLI_EXIT_FAILED;
}
