// The table that ends a run on several ports: port, result, seconds, last text.
#pragma once

#include <string>
#include <vector>

#include "app/runs/port_outcome.h"
#include "app/runs/run_sink.h"

// A heading and one line per port, columns aligned; the last text on one line.
std::string summary_table(const std::vector<PortOutcome>& outcomes);

// The table as a sink, written once every run has ended.
class SummarySink final : public RunSink {
public:
  explicit SummarySink(WriteText write) : write_(std::move(write)) {}
  void finish(const std::vector<PortOutcome>& outcomes, double /*now_s*/) override {
    write_(summary_table(outcomes));
  }

private:
  WriteText write_;
};
