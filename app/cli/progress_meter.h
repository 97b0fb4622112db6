// The self-updating progress line of the command-line upgrader: bar,
// percent, bytes written of the image, rate and time left. Pure: the caller
// supplies the time, so it is tested without a clock.
#pragma once

#include <cstdint>
#include <string>

class ProgressMeter {
public:
  explicit ProgressMeter(uint32_t total_bytes) : total_(total_bytes) {}

  // Notes the chunk a program text names; it counts as written once the
  // progress after it arrives, which only happens when its exchange went well.
  void on_text(const char* text, double now_s);
  void on_progress(int32_t permille, double now_s);

  uint32_t written() const { return written_; }
  // One line, without line end, at most `width` characters.
  std::string render(double now_s, int width) const;

private:
  uint32_t total_;
  uint32_t written_ = 0;
  uint32_t pending_ = 0;
  int32_t permille_ = 0;
  bool programming_ = false;
  double program_start_s_ = 0;
};
