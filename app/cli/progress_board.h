// Several ports' progress on a terminal: one line per port, redrawn in place
// with the terminal's cursor-up and erase-line sequences. The board itself is
// pure (the caller supplies the rows and the time, and writes what comes
// back); its sink keeps a row per port and writes the board.
#pragma once

#include <string>
#include <vector>

#include "app/cli/progress_meter.h"
#include "app/runs/run_sink.h"

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

// The board as a sink: a row per port, redrawn as texts and progress come
// (at most once an interval) and at once when a run ends; left standing
// below the rows once every run has ended.
class ProgressBoardSink final : public RunSink {
public:
  // `columns`: the terminal's width; `image_size` for each port's meter.
  ProgressBoardSink(WriteText err, const std::vector<std::string>& ports, int columns,
                    uint32_t image_size);
  void started(size_t run) override;
  void text(size_t run, const char* text, int32_t code, double now_s) override;
  void progress(size_t run, int32_t permille, double now_s) override;
  void programming(size_t run, double now_s) override;
  void ended(size_t run, const PortOutcome& outcome, double now_s) override;
  void tick(double now_s) override;
  void finish(const std::vector<PortOutcome>& outcomes, double now_s) override;

private:
  struct Row {
    std::string port;
    ProgressMeter meter;
    bool opened = false;
    bool running = false;
    std::string ending; // how the run ended, shown once it is not running
  };

  std::vector<std::string> rows(double now_s) const;
  void redraw(double now_s, bool force);

  WriteText err_;
  int columns_;
  size_t name_width_ = 0;
  std::vector<Row> rows_;
  ProgressBoard board_;
};
