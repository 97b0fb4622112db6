// Metrics for a plant's Prometheus: the text format it scrapes (version
// 0.0.4), what both servers count of their runs, and the answers their HTTP
// face gave. Names follow Prometheus' conventions: an `orva_` prefix,
// counters ending in `_total`, times in seconds.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "app/http/http_face.h"

// Label names and values, in the order they are written.
using MetricLabels = std::vector<std::pair<std::string, std::string>>;

// A metrics page in the making: each family's # HELP and # TYPE lines, then
// its samples. Label values are escaped as the format asks (\\, \" and \n).
class MetricsText {
public:
  // type: "counter", "gauge" or "histogram".
  void family(const std::string& name, const char* type, const std::string& help);
  void sample(const std::string& name, const MetricLabels& labels, double value);
  const std::string& text() const { return text_; }

private:
  std::string text_;
};

// The upper bounds of a run's seconds that MetricHistogram counts in: a run
// at 115200 baud takes about 20 s, a failure often a few.
extern const std::vector<double> RUN_SECONDS_BOUNDS;

// Values counted into buckets, as a Prometheus histogram keeps them.
class MetricHistogram {
public:
  explicit MetricHistogram(const std::vector<double>& bounds = RUN_SECONDS_BOUNDS);
  void observe(double value);
  // NAME_bucket (cumulative, le="+Inf" last), NAME_sum and NAME_count.
  void write(MetricsText* out, const std::string& name, const MetricLabels& labels) const;

private:
  std::vector<double> bounds_;
  std::vector<uint64_t> counts_; // one per bound, then those above every bound
  double sum_ = 0;
  uint64_t count_ = 0;
};

// Finished runs since the server started: orva_runs_total by the labels a
// run is counted with, and orva_run_duration_seconds by the labels it is
// timed with (fewer: a histogram is a series per bucket). Safe from any
// thread.
class RunMetrics {
public:
  // `seconds` below 0: the run has no end time, and is counted only.
  void ran(const MetricLabels& counted, const MetricLabels& timed, double seconds);
  void write(MetricsText* out) const;

private:
  mutable std::mutex mutex_;
  std::map<MetricLabels, uint64_t> runs_;
  std::map<MetricLabels, MetricHistogram> seconds_;
};

// The answers a server's face gave, by the class of their route and their
// status: orva_http_requests_total{route, code}. Safe from any thread.
class HttpAnswerCounts {
public:
  void count(const std::string& route, int status);
  void write(MetricsText* out) const;

private:
  mutable std::mutex mutex_;
  std::map<std::pair<std::string, int>, uint64_t> counts_;
};

// The metrics page as Prometheus takes it.
HttpAnswer http_metrics(std::string text);
