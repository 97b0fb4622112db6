#include "app/cli/run_outputs.h"

#include <functional>
#include <memory>
#include <utility>

#include "app/cli/progress_board.h"
#include "app/cli/progress_line.h"
#include "app/cli/run_summary.h"
#include "app/cli/text_sinks.h"
#include "app/runs/event_json.h"
#include "app/runs/store_sink.h"

namespace {

// Last: what the others wrote to standard output goes in one write per pass
// of the loop instead of one per text.
class FlushSink : public RunSink {
public:
  explicit FlushSink(std::function<void()> flush) : flush_(std::move(flush)) {}
  void tick(double) override { flush_(); }
  void finish(const std::vector<PortOutcome>&, double) override { flush_(); }

private:
  const std::function<void()> flush_;
};

} // namespace

CliStatus run_ports(const PortRunsPlan& plan, const FirmwareImage& image,
                    const PortRunsSystem& system, const RecordSystem& record,
                    const RunOutput& output) {
  const bool single = plan.ports.size() == 1;
  const bool board_shown = !single && output.err_is_terminal && output.err_moves_cursor;
  // Shared by the sinks that write to the terminal it is on, so that no text
  // lands inside the line.
  ProgressLine line(single && output.err_is_terminal, output.err);

  // In the order each event is to reach them: a text before the line redrawn
  // under it, the events before the record.
  std::vector<RunLabel> labels;
  for (const std::string& tag : plan.tags) labels.push_back({tag, 0});

  std::vector<std::unique_ptr<RunSink>> sinks;
  // First: a run's end is in the store before anything else tells of it.
  StoreSink* stored = nullptr;
  if (plan.store != nullptr) {
    auto sink = std::make_unique<StoreSink>(*plan.store, plan.rows, plan.wall_ms, output.err);
    stored = sink.get();
    sinks.push_back(std::move(sink));
  }
  sinks.push_back(std::make_unique<RunNotes>(output.err, plan.ports, line, board_shown));
  if (plan.json) {
    sinks.push_back(
        std::make_unique<JsonEvents>(output.out, plan.ports, image, plan.image_sha256, labels));
  } else if (single) {
    sinks.push_back(std::make_unique<PlainTexts>(output.out, line));
  } else if (!(board_shown && output.out_is_terminal)) {
    // With the board on the same terminal, texts would scroll it away; the
    // board shows each run's last text instead.
    sinks.push_back(std::make_unique<PrefixedTexts>(output.out, plan.ports));
  }
  if (single && output.err_is_terminal) {
    sinks.push_back(std::make_unique<ProgressLineSink>(line, image.size));
  }
  if (board_shown) {
    sinks.push_back(
        std::make_unique<ProgressBoardSink>(output.err, plan.ports, output.columns, image.size));
  }
  if (!single) {
    // Standard output carries only events with --json.
    sinks.push_back(std::make_unique<SummarySink>(plan.json ? output.err : output.out));
  }
  RecordSink* recorded = nullptr;
  if (!plan.log_path.empty()) {
    auto sink =
        std::make_unique<RecordSink>(plan.log_path, plan.image_sha256, record, output.err, labels);
    recorded = sink.get();
    sinks.push_back(std::move(sink));
  }

  if (output.flush) sinks.push_back(std::make_unique<FlushSink>(output.flush));

  std::vector<RunSink*> told;
  for (const auto& sink : sinks) told.push_back(sink.get());
  const CliStatus status = run_port_loop(plan.ports, image, system, told);
  // A failure says more than a lost record line and keeps its status.
  const bool record_lost =
      (recorded != nullptr && !recorded->complete()) || (stored != nullptr && !stored->complete());
  return status == CliStatus::ok && record_lost ? CliStatus::record_lost : status;
}
