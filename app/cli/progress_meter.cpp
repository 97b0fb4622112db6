#include "app/cli/progress_meter.h"

#include <cstdio>

#include "upgrade/sequence.h"

namespace {

constexpr int BAR_CELLS = 24;

void format_duration(char* out, size_t size, double seconds) {
  long s = static_cast<long>(seconds + 0.5);
  std::snprintf(out, size, "%ld:%02ld", s / 60, s % 60);
}

} // namespace

void ProgressMeter::on_programming(double now_s) {
  if (!programming_) {
    programming_ = true;
    program_start_s_ = now_s;
  }
}

// Programming spans its own part of the scale, so a value within it tells
// how much of the image the controller has taken: a chunk's value counts
// its bytes up to the image's end.
void ProgressMeter::on_progress(int32_t permille, double /*now_s*/) {
  permille_ = permille < 0 ? 0 : (permille > UPGRADE_PROGRAM_TO ? UPGRADE_PROGRAM_TO : permille);
  if (!programming_ || permille_ <= UPGRADE_PROGRAM_FROM) {
    return;
  }
  const uint64_t span = UPGRADE_PROGRAM_TO - UPGRADE_PROGRAM_FROM;
  const uint64_t bytes =
      uint64_t{total_} * static_cast<uint64_t>(permille_ - UPGRADE_PROGRAM_FROM) / span;
  written_ = static_cast<uint32_t>(bytes < total_ ? bytes : total_);
}

void ProgressMeter::on_end(double now_s) {
  if (!ended_) {
    ended_ = true;
    ended_s_ = now_s;
  }
}

std::string ProgressMeter::render(double now_s, int width) const {
  char bar[BAR_CELLS + 1];
  int filled = permille_ * BAR_CELLS / 1000;
  for (int i = 0; i < BAR_CELLS; ++i) bar[i] = i < filled ? '#' : '.';
  bar[BAR_CELLS] = '\0';

  char rate[32] = "";
  char left[32] = "";
  double elapsed = (ended_ ? ended_s_ : now_s) - program_start_s_;
  if (!programming_) {
    std::snprintf(rate, sizeof rate, "erasing");
  } else if (written_ >= total_) {
    char took[24];
    format_duration(took, sizeof took, elapsed);
    std::snprintf(rate, sizeof rate, "%.1f KiB/s", elapsed > 0 ? written_ / elapsed / 1024.0 : 0.0);
    std::snprintf(left, sizeof left, "in %s", took);
  } else if (elapsed > 0.05 && written_ > 0) {
    double bytes_per_s = written_ / elapsed;
    std::snprintf(rate, sizeof rate, "%.1f KiB/s", bytes_per_s / 1024.0);
    if (!ended_) {
      char eta[24];
      format_duration(eta, sizeof eta, (total_ - written_) / bytes_per_s);
      std::snprintf(left, sizeof left, "%s left", eta);
    }
  }

  char line[160];
  std::snprintf(line, sizeof line, "[%s] %5.1f%% %u/%u bytes %s %s", bar, permille_ / 10.0,
                static_cast<unsigned>(written_), static_cast<unsigned>(total_), rate, left);
  std::string out(line);
  while (!out.empty() && out.back() == ' ') out.pop_back();
  if (width > 0 && out.size() > static_cast<size_t>(width)) out.resize(static_cast<size_t>(width));
  return out;
}
