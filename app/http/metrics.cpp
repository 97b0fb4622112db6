#include "app/http/metrics.h"

#include <cmath>
#include <cstdio>

namespace {

// A whole number as one (a count reads as a count); anything else to the
// double's full precision; the infinities as the format spells them.
std::string number_text(double value) {
  if (std::isinf(value)) return value > 0 ? "+Inf" : "-Inf";
  if (std::isnan(value)) return "NaN";
  char text[40];
  if (std::fabs(value) < 1e15 && value == std::floor(value)) {
    std::snprintf(text, sizeof text, "%.0f", value);
  } else {
    std::snprintf(text, sizeof text, "%.17g", value);
  }
  return text;
}

std::string escaped(const std::string& value) {
  std::string out;
  for (const char c : value) {
    if (c == '\\') out += "\\\\";
    else if (c == '"') out += "\\\"";
    else if (c == '\n') out += "\\n";
    else out += c;
  }
  return out;
}

} // namespace

const std::vector<double> RUN_SECONDS_BOUNDS = {1, 2, 5, 10, 15, 20, 30, 45, 60, 90, 120, 300, 600};

void MetricsText::family(const std::string& name, const char* type, const std::string& help) {
  text_ += "# HELP " + name + " " + help + "\n# TYPE " + name + " " + type + "\n";
}

void MetricsText::sample(const std::string& name, const MetricLabels& labels, double value) {
  text_ += name;
  for (size_t i = 0; i < labels.size(); ++i) {
    text_ += (i == 0 ? "{" : ",") + labels[i].first + "=\"" + escaped(labels[i].second) + "\"";
  }
  text_ += (labels.empty() ? " " : "} ") + number_text(value) + "\n";
}

MetricHistogram::MetricHistogram(const std::vector<double>& bounds)
    : bounds_(bounds), counts_(bounds.size() + 1, 0) {}

void MetricHistogram::observe(double value) {
  size_t i = 0;
  while (i < bounds_.size() && value > bounds_[i]) ++i;
  ++counts_[i];
  sum_ += value;
  ++count_;
}

void MetricHistogram::write(MetricsText* out, const std::string& name,
                            const MetricLabels& labels) const {
  uint64_t below = 0;
  for (size_t i = 0; i <= bounds_.size(); ++i) {
    below += counts_[i];
    MetricLabels bucket = labels;
    bucket.emplace_back("le", i < bounds_.size() ? number_text(bounds_[i]) : "+Inf");
    out->sample(name + "_bucket", bucket, static_cast<double>(below));
  }
  out->sample(name + "_sum", labels, sum_);
  out->sample(name + "_count", labels, static_cast<double>(count_));
}

void RunMetrics::ran(const MetricLabels& counted, const MetricLabels& timed, double seconds) {
  std::lock_guard<std::mutex> lock(mutex_);
  ++runs_[counted];
  if (seconds >= 0) seconds_[timed].observe(seconds);
}

void RunMetrics::write(MetricsText* out) const {
  std::lock_guard<std::mutex> lock(mutex_);
  out->family("orva_runs_total", "counter", "Runs that ended since the server started.");
  for (const auto& [labels, n] : runs_)
    out->sample("orva_runs_total", labels, static_cast<double>(n));
  out->family("orva_run_duration_seconds", "histogram",
              "How long the runs that ended since the server started took.");
  for (const auto& [labels, histogram] : seconds_) {
    histogram.write(out, "orva_run_duration_seconds", labels);
  }
}

void HttpAnswerCounts::count(const std::string& route, int status) {
  std::lock_guard<std::mutex> lock(mutex_);
  ++counts_[{route, status}];
}

void HttpAnswerCounts::write(MetricsText* out) const {
  std::lock_guard<std::mutex> lock(mutex_);
  out->family("orva_http_requests_total", "counter",
              "HTTP requests answered, by the class of their route and their status.");
  for (const auto& [key, n] : counts_) {
    out->sample("orva_http_requests_total",
                {{"route", key.first}, {"code", std::to_string(key.second)}},
                static_cast<double>(n));
  }
}

HttpAnswer http_metrics(std::string text) {
  HttpAnswer answer;
  answer.content_type = "text/plain; version=0.0.4; charset=utf-8";
  answer.headers.emplace_back("Cache-Control", "no-store");
  answer.body = std::move(text);
  return answer;
}
