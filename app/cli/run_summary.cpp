#include "app/cli/run_summary.h"

#include <algorithm>
#include <cstdio>

namespace {

std::string padded(std::string text, size_t width) {
  if (text.size() < width) text.append(width - text.size(), ' ');
  return text;
}

std::string one_line(std::string text) {
  std::replace(text.begin(), text.end(), '\n', ' ');
  return text;
}

} // namespace

std::string summary_table(const std::vector<PortOutcome>& outcomes) {
  size_t port_width = 4;
  for (const PortOutcome& o : outcomes) port_width = std::max(port_width, o.port.size());
  const size_t result_width = 10; // "not-opened"
  std::string out =
      padded("Port", port_width) + "  " + padded("Result", result_width) + "  Seconds  Last text\n";
  for (const PortOutcome& o : outcomes) {
    char seconds[32];
    std::snprintf(seconds, sizeof seconds, "%7.1f", o.seconds);
    std::string line = padded(o.port, port_width) + "  " +
                       padded(port_result_name(o.result), result_width) + "  " + seconds + "  " +
                       one_line(o.last_text);
    while (!line.empty() && line.back() == ' ') line.pop_back();
    out += line + "\n";
  }
  return out;
}
