// Metrics and scrape configurations checked as a plant's Prometheus would
// take them: `promtool check metrics` (Debian's package prometheus) on a
// metrics page, which must parse and follow Prometheus' naming conventions,
// and `promtool check config` on a prometheus.yml.
#pragma once

#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <string>

#include "tests/support/child_process.h"

constexpr char PROMTOOL[] = "/usr/bin/promtool";

inline bool have_promtool() {
  return access(PROMTOOL, X_OK) == 0;
}

// What promtool said of `text` (empty: nothing to say), and its exit status.
struct PromtoolCheck {
  int status = -1;
  std::string said;
};

// `what`: "metrics" (a metrics page) or "config" (a prometheus.yml).
inline PromtoolCheck promtool_check(const std::string& what, const std::string& text) {
  const std::string file = "/tmp/orva-promtool-" + std::to_string(getpid()) + ".txt";
  std::ofstream(file, std::ios::binary) << text;
  ChildProcess run;
  run.start({"/bin/sh", "-c",
             std::string(PROMTOOL) + " check " + what + (what == "metrics" ? " < " : " ") + file});
  PromtoolCheck check;
  check.status = run.finish(30);
  check.said = run.out() + run.err();
  std::remove(file.c_str());
  return check;
}
