// What the line's benches share: their signals, the load, percentiles and
// verdicts as they print them, the port a server names on its start line,
// and the start of the line with its broker and its credentials.
#pragma once

#include <signal.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/broker_process.h"
#include "tests/support/child_process.h"

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

// A new credential of `role` named `name` on the line's database (the
// PostgreSQL that PG* name): its token, or empty when none was made.
inline std::string bench_credential(const std::string& line, const std::string& role,
                                    const std::string& name) {
  ChildProcess made;
  if (!made.start({line, "--db", "postgresql://", "credential", "add", role, name})) return "";
  if (made.finish(60) != 0) return "";
  std::string token = made.out();
  while (!token.empty() && (token.back() == '\n' || token.back() == '\r')) token.pop_back();
  return token;
}

// The broker, then the line `program` on a free port with its rows in that
// PostgreSQL, the admin's token in `token_file`, publishing as `line_name`:
// what failed, or empty.
inline std::string bench_start_line(BrokerProcess& broker, ChildProcess& line,
                                    const std::string& program, const std::string& line_name,
                                    const std::string& token_file) {
  const std::string broker_problem = broker.prepare();
  if (!broker_problem.empty()) return broker_problem;
  if (!broker.start()) return "the broker did not start: " + broker.log();
  line.share_stderr();
  if (!line.start({program, "--serve", "127.0.0.1:0", "--db", "postgresql://", "--line-name",
                   line_name, "--token-file", token_file, "--mqtt",
                   std::string("mqtt://") + BrokerProcess::USER +
                       "@127.0.0.1:" + std::to_string(broker.plain_port()),
                   "--mqtt-password-file", broker.password_file()}) ||
      !line.wait_for_output("; Ctrl-C ends it", 30.0)) {
    return "the line server did not start: " + line.out();
  }
  return "";
}
