// The self-updating progress line of a run on one port, on a terminal's
// standard error. Before anything else is printed the line is wiped, so text
// lines never mix with it.
#pragma once

#include <cstddef>
#include <functional>
#include <string>

#include "app/cli/progress_meter.h"

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
  size_t shown_ = 0;
  double drawn_at_ = -1e9;
};
