// Runs in the record store: the row a run gets before its port is opened,
// and the sink that commits each run's end before any later sink hears of
// it (put it before the sinks that tell the end to someone).
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "app/runs/run_sink.h"
#include "records/record_store.h"
#include "serial/port_list.h"

// What every row of one program's runs shares.
struct RowContext {
  std::string station;
  std::string image_sha256;
  int64_t image_size = 0;
  int64_t load_address = 0;
  std::string image_source; // "built-in" or the file's name
  std::string program_version;
};

// A new row for a run on `port`, started at `wall_ms`, not yet committed.
RunRow run_row(const RowContext& context, const std::string& port, const UsbIdentity& usb,
               const RunLabel& label, int64_t wall_ms);

// Fills in the end of `row` from how its run ended.
void run_row_end(RunRow* row, const PortOutcome& outcome, int64_t wall_ms);

class StoreSink final : public RunSink {
public:
  // `rows` are the committed rows, one per run, in the runs' order.
  StoreSink(RecordStore& store, std::vector<RunRow> rows, std::function<int64_t()> wall_ms,
            WriteText err)
      : store_(store), rows_(std::move(rows)), wall_ms_(std::move(wall_ms)), err_(std::move(err)) {}
  void ended(size_t run, const PortOutcome& outcome, double now_s) override;
  // Whether every run so far has its end in the store; the reason when not.
  bool complete() const { return problem_.empty(); }
  const std::string& problem() const { return problem_; }

private:
  RecordStore& store_;
  std::vector<RunRow> rows_;
  std::function<int64_t()> wall_ms_;
  WriteText err_;
  std::string problem_;
};
