// Several ports' progress on a terminal: one line per port, redrawn in place
// with the terminal's cursor-up and erase-line sequences. Pure: the caller
// supplies the rows and the time, and writes what comes back.
#pragma once

#include <string>
#include <vector>

// One port's row: the name padded to name_width, its progress line and, once
// the run has ended, how it ended; cut to `width` characters.
std::string board_row(const std::string& port, size_t name_width, const std::string& meter_line,
                      const std::string& ending, int width);

class ProgressBoard {
public:
  explicit ProgressBoard(double interval_s = 0.1) : interval_s_(interval_s) {}

  // Whether a redraw is due: at most one per interval.
  bool due(double now_s) const { return now_s - drawn_at_s_ >= interval_s_; }
  // Text that shows `rows`: the first time it writes them, later it goes back
  // up over the rows it wrote and overwrites them. The cursor stays at the
  // end of the last row.
  std::string draw(const std::vector<std::string>& rows, double now_s);
  // The rows a last time and a line end: what follows starts below them.
  std::string finish(const std::vector<std::string>& rows);

private:
  double interval_s_;
  double drawn_at_s_ = -1e9;
  size_t shown_ = 0; // rows on the screen
};
