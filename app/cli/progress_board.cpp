#include "app/cli/progress_board.h"

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
