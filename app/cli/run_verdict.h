// Decides from the run's own result whether the controller got its firmware.
// A script's only view of the run is the exit status, so success needs the
// end of the run and a run that returned 0, not just the end of the run.
#pragma once

#include <cstdint>

constexpr int CLI_EXIT_OK = 0;
constexpr int CLI_EXIT_FAILED = 1; // the run failed, was cancelled, or never ended properly
constexpr int CLI_EXIT_USAGE = 2;
constexpr int CLI_EXIT_NO_PORT = 3;

class RunVerdict {
public:
  void on_done() { done_ = true; }
  // What the worker's run returned (UpgradeWorker::run_result), once its
  // thread has ended.
  void on_result(int32_t result) { result_ = result; }

  bool done() const { return done_; }
  // 0 only after the end notice of a run that returned 0; 1 otherwise.
  int exit_code() const { return done_ && result_ == 0 ? CLI_EXIT_OK : CLI_EXIT_FAILED; }

private:
  bool done_ = false;
  int32_t result_ = -1;
};
