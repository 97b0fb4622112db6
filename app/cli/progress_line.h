// The self-updating progress line of a run on one port, on a terminal's
// standard error. Before anything else is printed the line is wiped, so text
// lines never mix with it.
#pragma once

#include <cstddef>
#include <functional>
#include <string>

#include "app/cli/progress_meter.h"
#include "app/runs/run_sink.h"

class ProgressLine {
public:
  ProgressLine(bool enabled, std::function<void(const std::string&)> err)
      : enabled_(enabled), err_(std::move(err)) {}

  void clear();
  // Redraws at most ten times a second unless forced.
  void draw(const ProgressMeter& meter, double now, bool force);
  // The last state of the line and a line end.
  void finish(const ProgressMeter& meter, double now);
  // Wipes the line and writes `text` in its place.
  void note(const std::string& text);

private:
  bool enabled_;
  std::function<void(const std::string&)> err_;
  size_t shown_ = 0; // 0: wiped
  double drawn_at_ = -1e9;
  std::string drawn_;
};

// The one port's progress line, redrawn at most ten times a second with the
// newest progress (a burst of texts and values between two looks is one
// redraw), at once when the run fails or reaches a new part, and left
// standing with its last state once the runs are over.
class ProgressLineSink final : public RunSink {
public:
  ProgressLineSink(ProgressLine& line, uint32_t image_size) : line_(line), meter_(image_size) {}
  void started(size_t run) override;
  void text(size_t run, const char* text, int32_t code, double now_s) override;
  void progress(size_t run, int32_t permille, double now_s) override;
  void programming(size_t run, double now_s) override;
  void ended(size_t run, const PortOutcome& outcome, double now_s) override;
  void tick(double now_s) override;
  void finish(const std::vector<PortOutcome>& outcomes, double now_s) override;

private:
  ProgressLine& line_;
  ProgressMeter meter_;
  bool started_ = false;
};
