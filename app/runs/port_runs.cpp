#include "app/runs/port_runs.h"

#include <memory>

#include "notify/notice_queue.h"
#include "upgrade/worker.h"

namespace {

// The loop looks at the runs' notices, the interrupt flag and the display
// this often (a run's end wakes it at once); between looks a run's texts
// and progress wait in its queue. Workers never wait for it.
constexpr int WAIT_MS = 100;

struct PortRun {
  size_t index = 0;
  std::string name;
  PortHandle port = 0;
  NoticeQueue queue{NoticeWake::end_only};
  UpgradeWorker worker;
  double started_s = 0;
  bool running = false;
  bool end_notice_seen = false;
  std::string last_text; // as printed, see text_block
};

class PortRuns {
public:
  PortRuns(const std::vector<std::string>& ports, const FirmwareImage& image,
           const PortRunsSystem& system, const std::vector<RunSink*>& sinks)
      : image_(image), system_(system), sinks_(sinks) {
    for (const std::string& name : ports) {
      runs_.push_back(std::make_unique<PortRun>());
      runs_.back()->index = runs_.size() - 1;
      runs_.back()->name = name;
      outcomes_.emplace_back();
    }
  }

  CliStatus run() {
    for (auto& run : runs_) open_and_start(*run);
    bool cancelling = false;
    while (any_running()) {
      if (!pump()) wait_a_moment();
      const double now = system_.now_s();
      for (auto& run : runs_) {
        // The worker posts its end notice before it lets go of the record:
        // gone with nothing queued, it could not post it.
        if (run->running && run->worker.thread_ended() && run->queue.size() == 0) end(*run, now);
      }
      if (!cancelling && system_.interrupted()) {
        // Same effect as the dialog's Cancel: each run ends at its next
        // progress message with the cancelled text. Waiting for that here
        // rather than inside stop() keeps their texts flowing meanwhile.
        cancelling = true;
        for (auto& run : runs_) run->worker.cancel_run();
        tell([](RunSink& sink) { sink.cancelling(); });
      }
      tell([now](RunSink& sink) { sink.tick(now); });
    }
    const double now = system_.now_s();
    tell([this, now](RunSink& sink) { sink.finish(outcomes_, now); });
    return status();
  }

private:
  template <typename Event>
  void tell(Event event) {
    for (RunSink* sink : sinks_) event(*sink);
  }

  void open_and_start(PortRun& run) {
    const PortOpening opening = system_.open(run.name);
    const size_t i = run.index;
    if (opening.port == 0) {
      outcomes_[i] = port_not_opened(run.name, opening.failure);
      tell([&](RunSink& sink) { sink.not_opened(i, opening.failure); });
      const double now = system_.now_s();
      tell([&](RunSink& sink) { sink.ended(i, outcomes_[i], now); });
      return;
    }
    run.port = opening.port;
    run.running = true;
    run.started_s = system_.now_s();
    tell([i](RunSink& sink) { sink.started(i); });
    run.worker.step_notices = true;
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
    const size_t i = run.index;
    if (notice.kind == NOTIFY_TEXT) {
      run.last_text = text_block(notice.text.c_str());
      tell([&](RunSink& sink) { sink.text(i, notice.text.c_str(), notice.code, now); });
    } else if (notice.kind == NOTIFY_PROGRESS) {
      tell([&](RunSink& sink) { sink.progress(i, notice.value, now); });
    } else if (notice.kind == NOTIFY_STEP &&
               notice.value == static_cast<int32_t>(RunStep::program)) {
      tell([&](RunSink& sink) { sink.programming(i, now); });
    } else if (notice.kind == NOTIFY_DONE) {
      run.end_notice_seen = true;
      end(run, now);
    }
  }

  // The run is over: its thread and port go, then its ending is told.
  void end(PortRun& run, double now) {
    run.worker.stop();
    run.queue.close();
    system_.close(run.port);
    run.running = false;
    const size_t i = run.index;
    outcomes_[i] = port_outcome(run.name, run.worker.report, run.end_notice_seen, run.last_text,
                                now - run.started_s);
    if (!run.end_notice_seen) tell([i](RunSink& sink) { sink.lost(i); });
    tell([&](RunSink& sink) { sink.ended(i, outcomes_[i], now); });
  }

  CliStatus status() const {
    CliStatus status = CliStatus::ok;
    for (const PortOutcome& outcome : outcomes_) {
      if (outcome.result == PortResult::not_opened) return CliStatus::no_port;
      if (outcome.result != PortResult::ok) status = CliStatus::failed;
    }
    return status;
  }

  const FirmwareImage& image_;
  const PortRunsSystem& system_;
  const std::vector<RunSink*>& sinks_;
  std::vector<std::unique_ptr<PortRun>> runs_;
  std::vector<PortOutcome> outcomes_; // one per port; final once its run has ended
};

} // namespace

CliStatus run_port_loop(const std::vector<std::string>& ports, const FirmwareImage& image,
                        const PortRunsSystem& system, const std::vector<RunSink*>& sinks) {
  PortRuns runs(ports, image, system, sinks);
  return runs.run();
}
