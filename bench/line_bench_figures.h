// What the line's benches share: their signals, the load, percentiles and
// verdicts as they print them, and the port a server names on its start
// line.
#pragma once

#include <signal.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

// Set by SIGINT or SIGTERM: the bench stops and cleans up.
inline std::atomic<bool> bench_interrupted{false};

// SIGINT and SIGTERM set bench_interrupted; a closed connection's SIGPIPE
// is ignored.
inline void bench_catch_signals() {
  struct sigaction action {};
  action.sa_handler = [](int) { bench_interrupted = true; };
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  signal(SIGPIPE, SIG_IGN);
}

inline std::string read_text(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

inline std::string load_average() {
  std::string text = read_text("/proc/loadavg");
  while (!text.empty() && text.back() == '\n') text.pop_back();
  return text;
}

// The value below which a share p (0..1) of the values lie (nearest rank).
inline double percentile(std::vector<double> values, double p) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  const size_t rank = static_cast<size_t>(p * static_cast<double>(values.size()) + 0.999999);
  return values[std::min(values.size(), std::max<size_t>(rank, 1)) - 1];
}

inline const char* verdict(bool met) {
  return met ? "met" : "MISSED";
}

// The port in "... at http://127.0.0.1:PORT/ ...".
inline int port_in(const std::string& out) {
  const size_t at = out.find("http://");
  if (at == std::string::npos) return 0;
  const size_t colon = out.find(':', at + 7);
  return colon == std::string::npos ? 0 : std::atoi(out.c_str() + colon + 1);
}
