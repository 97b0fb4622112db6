#include "app/cli/run_verdict.h"

#include <cstring>

const char* const CLI_SUCCESS_TEXT = "Program success, starting application...";

namespace {

// Whole texts of the link's outcomes other than "go on".
const char* const kFailureTexts[] = {
    "internal parameter error!\r\n",
    "serial port read error!\r\n",
    "serial port write error!\r\n",
    "serial port timeout during transmission, error!\r\n",
    "user canceled transmission, upgrade not complete!\r\n",
    "transmission ended in unexpected state error!\r\n",
    "transmission pending in internal state error!\r\n",
    "retransmission failed after multiple retries, error!\r\n",
    // The link finished before the sequence did: part of the image never went out.
    "transmission done, success!\r\n",
};

// Texts that carry a number after these words.
const char* const kFailurePrefixes[] = {
    "unknown message format error(",
    "other error (",
    "ORVA had an internal error(",
};

} // namespace

bool is_failure_text(const char* text) {
  if (text == nullptr) return false;
  for (const char* whole : kFailureTexts) {
    if (std::strcmp(text, whole) == 0) return true;
  }
  for (const char* prefix : kFailurePrefixes) {
    if (std::strncmp(text, prefix, std::strlen(prefix)) == 0) return true;
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
