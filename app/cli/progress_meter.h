// The self-updating progress line of the command-line upgrader: bar,
// percent, bytes written of the image, rate and time left. Pure: the caller
// supplies the time, so it is tested without a clock.
#pragma once

#include <cstdint>
#include <string>

class ProgressMeter {
public:
  // total_bytes: the image's size.
  explicit ProgressMeter(uint32_t total_bytes) : total_(total_bytes) {}

  // The first program chunk is about to go out: the rate counts from here.
  void on_programming(double now_s);
  // The run's progress in tenths of a percent, whatever value arrives.
  void on_progress(int32_t permille, double now_s);
  // The run is over, whichever way it ended: the line stays as it was then
  // and tells no time left.
  void on_end(double now_s);

  uint32_t written() const { return written_; }
  // One line, without line end, at most `width` characters; `now_s` counts
  // until the run ends.
  std::string render(double now_s, int width) const;

private:
  uint32_t total_;
  uint32_t written_ = 0;
  int32_t permille_ = 0;
  bool programming_ = false;
  double program_start_s_ = 0;
  bool ended_ = false;
  double ended_s_ = 0;
};
