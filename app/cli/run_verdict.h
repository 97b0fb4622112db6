// Decides from the notices of a run whether the controller got its firmware.
// A script's only view of the run is the exit status, so success needs the
// final text and the absence of every failure, not just the end of the run.
#pragma once

#include <cstdint>

constexpr int CLI_EXIT_OK = 0;
constexpr int CLI_EXIT_FAILED = 1; // the run failed, was cancelled, or never ended properly
constexpr int CLI_EXIT_USAGE = 2;
constexpr int CLI_EXIT_NO_PORT = 3;

extern const char* const CLI_SUCCESS_TEXT;

// Whether a text is one of the link's failure texts, whatever code came with it.
bool is_failure_text(const char* text);

class RunVerdict {
public:
  void on_text(const char* text, int32_t code);
  void on_done() { done_ = true; }

  bool done() const { return done_; }
  bool failed() const { return failure_seen_; }
  // 0 only after the end notice, when the last text was the success text and
  // no failure came before it; 1 otherwise.
  int exit_code() const;

private:
  bool done_ = false;
  bool failure_seen_ = false;
  bool last_was_success_ = false;
};
