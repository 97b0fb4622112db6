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
  // Only what changed: a line standing as it would be drawn stays.
  if (!force && shown_ > 0 && line == drawn_) return;
  drawn_ = line;
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

void ProgressLineSink::started(size_t /*run*/) {
  started_ = true;
}

// A text wiped the line: it comes back with the next redraw, at once for a
// failure.
void ProgressLineSink::text(size_t /*run*/, const char* /*text*/, int32_t code, double now_s) {
  line_.draw(meter_, now_s, code != 0);
}

void ProgressLineSink::progress(size_t /*run*/, int32_t permille, double now_s) {
  meter_.on_progress(permille, now_s);
}

void ProgressLineSink::programming(size_t /*run*/, double now_s) {
  meter_.on_programming(now_s);
  line_.draw(meter_, now_s, true);
}

void ProgressLineSink::tick(double now_s) {
  line_.draw(meter_, now_s, false);
}

void ProgressLineSink::ended(size_t /*run*/, const PortOutcome& /*outcome*/, double now_s) {
  meter_.on_end(now_s);
}

void ProgressLineSink::finish(const std::vector<PortOutcome>& /*outcomes*/, double now_s) {
  if (started_) line_.finish(meter_, now_s);
}
