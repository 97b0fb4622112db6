// Metrics and scrape configurations checked as a plant's Prometheus would
// take them: `promtool check metrics` (Debian's package prometheus) on a
// metrics page, which must parse and follow Prometheus' naming conventions,
// and `promtool check config` on a prometheus.yml.
#pragma once

#include <gtest/gtest.h>
#include <httplib.h>
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

// A /metrics answer as Prometheus takes it: 200, the text format's type, and
// nothing `promtool check metrics` remarks on; its text.
inline std::string metrics_checked(const httplib::Result& answer) {
  EXPECT_TRUE(answer && answer->status == 200) << (answer ? answer->body : "no answer");
  if (!answer || answer->status != 200) return "";
  EXPECT_EQ(answer->get_header_value("Content-Type"), "text/plain; version=0.0.4; charset=utf-8");
  const PromtoolCheck checked = promtool_check("metrics", answer->body);
  EXPECT_EQ(checked.status, 0) << checked.said << "\n" << answer->body;
  EXPECT_EQ(checked.said, "");
  return answer->body;
}
