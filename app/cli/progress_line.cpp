#include "app/cli/progress_line.h"

namespace {

constexpr double REDRAW_S = 0.1;
constexpr int LINE_WIDTH = 79;

} // namespace

void ProgressLine::clear() {
  if (!enabled_ || shown_ == 0) return;
  err_("\r" + std::string(shown_, ' ') + "\r");
  shown_ = 0;
}

void ProgressLine::draw(const ProgressMeter& meter, double now, bool force) {
  if (!enabled_ || (!force && now - drawn_at_ < REDRAW_S)) return;
  std::string line = meter.render(now, LINE_WIDTH);
  std::string out = "\r" + line;
  if (line.size() < shown_) out += std::string(shown_ - line.size(), ' ');
  err_(out);
  shown_ = line.size();
  drawn_at_ = now;
}

void ProgressLine::finish(const ProgressMeter& meter, double now) {
  if (!enabled_) return;
  draw(meter, now, true);
  err_("\n");
  shown_ = 0;
}

void ProgressLine::note(const std::string& text) {
  if (!enabled_) return;
  clear();
  err_(text);
}
