#include "app/cli/port_runs.h"

#include <algorithm>
#include <memory>

#include "app/cli/event_json.h"
#include "app/cli/notice_lines.h"
#include "app/cli/port_outcome.h"
#include "app/cli/progress_board.h"
#include "app/cli/progress_line.h"
#include "app/cli/progress_meter.h"
#include "app/cli/run_record.h"
#include "app/cli/run_summary.h"
#include "app/cli/run_verdict.h"
#include "link/engine.h"
#include "notify/notice_queue.h"
#include "upgrade/sequence.h"
#include "upgrade/worker.h"

namespace {

// The loop waits this long for a notice when none is queued, then looks at
// the interrupt flag and the display again. Workers never wait for it.
constexpr int WAIT_MS = 20;
// A worker that has let go of the record without an end notice has lost it;
// this long with no thread and nothing queued ends its run.
constexpr double LOST_WORKER_S = 2.0;
const char* const LOST_WORKER_TEXT = "the upgrade ended without a final report";

std::string cancelled_text() {
  char text[LINK_TEXT_SIZE];
  link_outcome(nullptr, static_cast<int8_t>(EXCHANGE_CANCELLED), text);
  return text_block(text);
}

struct PortRun {
  PortRun(std::string port_name, const FirmwareImage& image)
      : meter(image.size, upgrade_erase_blocks(image.load_address, image.size)) {
    outcome.port = std::move(port_name);
  }
  const std::string& name() const { return outcome.port; }

  PortHandle port = 0;
  NoticeQueue queue;
  UpgradeWorker worker;
  RunVerdict verdict;
  ProgressMeter meter;
  ProgressGate gate;
  double started_s = 0;
  double idle_since_s = -1; // when the worker was first seen gone with nothing queued
  bool running = false;
  PortOutcome outcome;
};

using Runs = std::vector<std::unique_ptr<PortRun>>;

// Every line of `text` after "PORT: ".
std::string prefixed(const std::string& port, const std::string& text) {
  std::string out;
  size_t at = 0;
  while (at < text.size()) {
    size_t end = text.find('\n', at);
    if (end == std::string::npos) end = text.size() - 1;
    out += port + ": " + text.substr(at, end - at + 1);
    at = end + 1;
  }
  if (!out.empty() && out.back() != '\n') out += '\n';
  return out;
}

// Decides once what goes where, then turns each event of the runs into output.
class RunsView {
public:
  RunsView(const PortRunsPlan& plan, const RunOutput& output, const Runs& runs)
      : plan_(plan),
        output_(output),
        runs_(runs),
        single_(runs.size() == 1),
        board_shown_(!single_ && output.err_is_terminal && output.err_moves_cursor),
        line_(single_ && output.err_is_terminal, output.err) {
    // With the board on the same terminal, texts would scroll it away; the
    // board shows each run's last text instead.
    texts_ = plan.json                                ? Texts::json
             : single_                                ? Texts::plain
             : board_shown_ && output.out_is_terminal ? Texts::none
                                                      : Texts::prefixed;
    for (const auto& run : runs) name_width_ = std::max(name_width_, run->name().size());
  }

  void not_opened(const PortRun& run, const std::string& failure) {
    output_.err(single_ ? failure : prefixed(run.name(), failure));
  }

  void started(const PortRun& run, const FirmwareImage& image) {
    if (texts_ == Texts::json) {
      output_.out(json_start_event(run.name(), image.size, image.load_address, plan_.image_sha256));
    }
  }

  void text(const PortRun& run, const char* text, int32_t code, double now) {
    switch (texts_) {
    case Texts::plain:
      line_.clear();
      output_.out(notice_lines(text));
      line_.draw(run.meter, now, true);
      return;
    case Texts::prefixed:
      output_.out(prefixed(run.name(), notice_lines(text)));
      break;
    case Texts::json:
      output_.out(json_text_event(run.name(), text, code));
      line_.draw(run.meter, now, true);
      break;
    case Texts::none:
      break;
    }
    redraw_board(now, false);
  }

  void progress(PortRun& run, int32_t permille, double now) {
    if (texts_ == Texts::json && run.gate.pass(permille)) {
      output_.out(json_progress_event(run.name(), permille));
    }
    line_.draw(run.meter, now, false);
    redraw_board(now, false);
  }

  void lost(const PortRun& run) {
    const std::string text = std::string("orvaload-cli: ") + LOST_WORKER_TEXT + "\n";
    line_.clear();
    if (!board_shown_) output_.err(single_ ? text : prefixed(run.name(), text));
  }

  void cancelling() {
    if (single_) {
      line_.note("cancelling: the run stops at its next progress message\n");
    } else if (!board_shown_) {
      output_.err("cancelling: every run stops at its next progress message\n");
    }
  }

  void ended(const PortRun& run, double now) {
    if (texts_ == Texts::json) output_.out(json_end_event(run.outcome));
    redraw_board(now, true);
  }

  void finish(double now) {
    if (single_) {
      if (runs_.front()->port != 0) line_.finish(runs_.front()->meter, now);
      if (texts_ != Texts::json) return;
    }
    if (board_shown_) output_.err(board_.finish(board_rows(now)));
    if (single_) return;
    std::vector<PortOutcome> outcomes;
    for (const auto& run : runs_) outcomes.push_back(run->outcome);
    // Standard output carries only events with --json.
    (texts_ == Texts::json ? output_.err : output_.out)(summary_table(outcomes));
  }

  void tick(double now) { redraw_board(now, false); }

private:
  enum class Texts { plain, prefixed, json, none };

  std::vector<std::string> board_rows(double now) const {
    const int width = output_.columns > 1 ? output_.columns - 1 : 79;
    const int meter_width = width - static_cast<int>(name_width_) - 2;
    std::vector<std::string> rows;
    for (const auto& run : runs_) {
      std::string ending;
      if (!run->running) {
        ending = port_result_name(run->outcome.result);
        if (!run->outcome.last_text.empty()) ending += ": " + run->outcome.last_text;
      }
      rows.push_back(
          board_row(run->name(), name_width_,
                    run->port ? run->meter.render(now, meter_width > 20 ? meter_width : 20) : "",
                    ending, width));
    }
    return rows;
  }

  void redraw_board(double now, bool force) {
    if (board_shown_ && (force || board_.due(now))) output_.err(board_.draw(board_rows(now), now));
  }

  const PortRunsPlan& plan_;
  const RunOutput& output_;
  const Runs& runs_;
  const bool single_;
  const bool board_shown_;
  Texts texts_;
  ProgressLine line_;
  ProgressBoard board_;
  size_t name_width_ = 0;
};

class PortRuns {
public:
  PortRuns(const PortRunsPlan& plan, const FirmwareImage& image, const PortRunsSystem& system,
           const RunOutput& output)
      : plan_(plan),
        image_(image),
        system_(system),
        runs_(make_runs(plan, image)),
        view_(plan, output, runs_),
        output_(output) {}

  int run() {
    for (auto& run : runs_) open_and_start(*run);
    bool cancelling = false;
    while (any_running()) {
      if (!pump()) wait_a_moment();
      const double now = system_.now_s();
      for (auto& run : runs_) {
        if (run->running) look_for_lost_worker(*run, now);
      }
      if (!cancelling && system_.interrupted()) {
        // Same effect as the dialog's Cancel: each run ends at its next
        // progress message with the cancelled text. Waiting for that here
        // rather than inside stop() keeps their texts flowing meanwhile.
        cancelling = true;
        for (auto& run : runs_) run->worker.cancel = 1;
        view_.cancelling();
      }
      view_.tick(now);
    }
    view_.finish(system_.now_s());
    return exit_status();
  }

private:
  static Runs make_runs(const PortRunsPlan& plan, const FirmwareImage& image) {
    Runs runs;
    for (const std::string& name : plan.ports)
      runs.push_back(std::make_unique<PortRun>(name, image));
    return runs;
  }

  void open_and_start(PortRun& run) {
    std::string failure;
    run.port = system_.open(run.name(), &failure);
    if (run.port == 0) {
      run.outcome.result = PortResult::not_opened;
      run.outcome.exit_code = 3;
      run.outcome.last_text = failure.substr(0, failure.find('\n'));
      view_.not_opened(run, failure);
      view_.ended(run, system_.now_s());
      record(run);
      return;
    }
    run.running = true;
    run.started_s = system_.now_s();
    view_.started(run, image_);
    run.worker.start(&run.queue, run.port, image_);
  }

  bool any_running() const {
    for (const auto& run : runs_) {
      if (run->running) return true;
    }
    return false;
  }

  // Handles every notice queued so far; false when there was none.
  bool pump() {
    bool got = false;
    for (auto& run : runs_) {
      Notice notice;
      while (run->running && run->queue.wait_pop(notice, 0)) {
        got = true;
        handle(*run, notice);
      }
    }
    return got;
  }

  void wait_a_moment() {
    for (auto& run : runs_) {
      if (!run->running) continue;
      Notice notice;
      if (run->queue.wait_pop(notice, WAIT_MS)) handle(*run, notice);
      return;
    }
  }

  void handle(PortRun& run, const Notice& notice) {
    const double now = system_.now_s();
    run.idle_since_s = -1;
    if (notice.kind == NOTIFY_TEXT) {
      const char* text = notice.text.c_str();
      run.meter.on_text(now);
      run.outcome.last_text = text_block(text);
      view_.text(run, text, notice.code, now);
    } else if (notice.kind == NOTIFY_PROGRESS) {
      run.meter.on_progress(notice.value, now);
      view_.progress(run, notice.value, now);
    } else if (notice.kind == NOTIFY_DONE) {
      run.verdict.on_done();
    }
    if (run.verdict.done()) end(run, now);
  }

  void look_for_lost_worker(PortRun& run, double now) {
    if (run.worker.exited != 1 || run.queue.size() != 0) {
      run.idle_since_s = -1;
      return;
    }
    if (run.idle_since_s < 0) run.idle_since_s = now;
    if (now - run.idle_since_s < LOST_WORKER_S) return;
    view_.lost(run);
    run.outcome.last_text = LOST_WORKER_TEXT;
    end(run, now);
  }

  // The run is over: its thread and port go, then its ending is told.
  void end(PortRun& run, double now) {
    run.worker.stop();
    run.verdict.on_result(run.worker.run_result);
    run.queue.close();
    system_.close(run.port);
    run.running = false;
    run.meter.on_end(now);
    PortOutcome& o = run.outcome;
    o.exit_code = run.verdict.exit_code();
    o.result = o.exit_code == 0                 ? PortResult::ok
               : o.last_text == cancelled_text_ ? PortResult::cancelled
                                                : PortResult::failed;
    o.seconds = now - run.started_s;
    o.frames_sent = run.worker.link.frames_sent;
    o.retransmissions = run.worker.link.retransmissions;
    view_.ended(run, now);
    record(run);
  }

  void record(const PortRun& run) {
    if (plan_.log_path.empty()) return;
    const RunRecordContext context{system_.utc_now(), system_.host(), plan_.image_sha256};
    const std::string usb = system_.usb_serial ? system_.usb_serial(run.name()) : "";
    const RecordAppend appended =
        system_.append_record(plan_.log_path, run_record_line(context, run.outcome, usb));
    if (!appended.ok()) {
      output_.err("orvaload-cli: " + appended.reason + "\n");
    }
  }

  int exit_status() const {
    int status = CLI_EXIT_OK;
    for (const auto& run : runs_) {
      if (run->outcome.result == PortResult::not_opened) return CLI_EXIT_NO_PORT;
      if (run->outcome.exit_code != CLI_EXIT_OK) status = CLI_EXIT_FAILED;
    }
    return status;
  }

  const PortRunsPlan& plan_;
  const FirmwareImage& image_;
  const PortRunsSystem& system_;
  Runs runs_;
  RunsView view_;
  const RunOutput& output_;
  const std::string cancelled_text_ = cancelled_text();
};

} // namespace

int run_ports(const PortRunsPlan& plan, const FirmwareImage& image, const PortRunsSystem& system,
              const RunOutput& output) {
  PortRuns runs(plan, image, system, output);
  return runs.run();
}
