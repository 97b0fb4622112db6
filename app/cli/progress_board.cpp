#include "app/cli/progress_board.h"

#include <algorithm>

std::string board_row(const std::string& port, size_t name_width, const std::string& meter_line,
                      const std::string& ending, int width) {
  std::string row = port;
  if (row.size() < name_width) row.append(name_width - row.size(), ' ');
  row += "  " + meter_line;
  if (!ending.empty()) row += "  " + ending;
  for (char& c : row) {
    if (c == '\n' || c == '\r' || c == '\t') c = ' ';
  }
  if (width > 0 && row.size() > static_cast<size_t>(width)) row.resize(static_cast<size_t>(width));
  return row;
}

std::string ProgressBoard::draw(const std::vector<std::string>& rows, double now_s) {
  std::string out = "\r";
  if (shown_ > 1) out += "\x1b[" + std::to_string(shown_ - 1) + "A";
  for (size_t i = 0; i < rows.size(); ++i) {
    if (i > 0) out += "\n";
    // Erase after the text, so a shorter row leaves nothing of the old one.
    out += rows[i] + "\x1b[K";
  }
  shown_ = rows.size();
  drawn_at_s_ = now_s;
  return out;
}

std::string ProgressBoard::finish(const std::vector<std::string>& rows) {
  std::string out = draw(rows, drawn_at_s_) + "\n";
  shown_ = 0;
  return out;
}

// A row stands for a run that has not begun the way it would for one that
// failed, until its port is opened.
ProgressBoardSink::ProgressBoardSink(WriteText err, const std::vector<std::string>& ports,
                                     int columns, uint32_t image_size)
    : err_(std::move(err)), columns_(columns) {
  for (const std::string& port : ports) {
    rows_.push_back(
        Row{port, ProgressMeter(image_size), false, false, port_result_name(PortResult::failed)});
    name_width_ = std::max(name_width_, port.size());
  }
}

void ProgressBoardSink::started(size_t run) {
  rows_[run].opened = true;
  rows_[run].running = true;
}

void ProgressBoardSink::text(size_t /*run*/, const char* /*text*/, int32_t /*code*/, double now_s) {
  redraw(now_s, false);
}

void ProgressBoardSink::progress(size_t run, int32_t permille, double now_s) {
  rows_[run].meter.on_progress(permille, now_s);
  redraw(now_s, false);
}

void ProgressBoardSink::programming(size_t run, double now_s) {
  rows_[run].meter.on_programming(now_s);
}

void ProgressBoardSink::ended(size_t run, const PortOutcome& outcome, double now_s) {
  Row& row = rows_[run];
  row.meter.on_end(now_s);
  row.running = false;
  row.ending = port_result_name(outcome.result);
  if (!outcome.last_text.empty()) row.ending += ": " + outcome.last_text;
  redraw(now_s, true);
}

void ProgressBoardSink::tick(double now_s) {
  redraw(now_s, false);
}

void ProgressBoardSink::finish(const std::vector<PortOutcome>& /*outcomes*/, double now_s) {
  err_(board_.finish(rows(now_s)));
}

std::vector<std::string> ProgressBoardSink::rows(double now_s) const {
  const int width = columns_ > 1 ? columns_ - 1 : 79;
  const int meter_width = width - static_cast<int>(name_width_) - 2;
  std::vector<std::string> lines;
  for (const Row& row : rows_) {
    const std::string meter =
        row.opened ? row.meter.render(now_s, meter_width > 20 ? meter_width : 20) : "";
    lines.push_back(board_row(row.port, name_width_, meter, row.running ? "" : row.ending, width));
  }
  return lines;
}

void ProgressBoardSink::redraw(double now_s, bool force) {
  if (force || board_.due(now_s)) err_(board_.draw(rows(now_s), now_s));
}
