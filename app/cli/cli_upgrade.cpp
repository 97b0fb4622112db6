#include <chrono>
#include <cstdio>
#include <string>

#include "app/cli/cli_commands.h"
#include "app/cli/console.h"
#include "app/cli/notice_lines.h"
#include "app/cli/progress_meter.h"
#include "app/cli/run_verdict.h"
#include "notify/notice_queue.h"
#include "serial/serial.h"
#include "upgrade/firmware.h"
#include "upgrade/sequence.h"
#include "upgrade/worker.h"

namespace {

// The loop wakes at least this often to look at the interrupt flag.
constexpr int kPollMs = 100;
constexpr double kRedrawS = 0.1;
// A worker that has let go of the record without an end notice has lost it;
// this long with no thread and nothing queued ends the wait.
constexpr int kLostWorkerPolls = 20;
constexpr int kLineWidth = 79;

double seconds_now() {
  using namespace std::chrono;
  return duration<double>(steady_clock::now().time_since_epoch()).count();
}

void write_all(FILE* stream, const std::string& text) {
  if (text.empty()) return;
  std::fwrite(text.data(), 1, text.size(), stream);
  std::fflush(stream);
}

// The self-updating line on a terminal's standard error. Before anything
// else is printed the line is wiped, so text lines never mix with it.
class ProgressLine {
public:
  explicit ProgressLine(bool enabled) : enabled_(enabled) {}

  void clear() {
    if (!enabled_ || shown_ == 0) return;
    write_all(stderr, "\r" + std::string(shown_, ' ') + "\r");
    shown_ = 0;
  }
  void draw(const ProgressMeter& meter, double now, bool force) {
    if (!enabled_ || (!force && now - drawn_at_ < kRedrawS)) return;
    std::string line = meter.render(now, kLineWidth);
    std::string out = "\r" + line;
    if (line.size() < shown_) out += std::string(shown_ - line.size(), ' ');
    write_all(stderr, out);
    shown_ = line.size();
    drawn_at_ = now;
  }
  void finish(const ProgressMeter& meter, double now) {
    if (!enabled_) return;
    draw(meter, now, true);
    write_all(stderr, "\n");
    shown_ = 0;
  }
  void note(const std::string& text) {
    if (!enabled_) return;
    clear();
    write_all(stderr, text);
  }

private:
  bool enabled_;
  size_t shown_ = 0;
  double drawn_at_ = -1e9;
};

} // namespace

int cli_upgrade(const char* port_name, const FirmwareImage& image) {
  char message[256] = "";
  PortHandle port = 0;
  if (serial_open(port_name, &port, message) != 0) {
    write_all(stderr, notice_lines(message));
    char hint[SERIAL_PATH_SIZE] = "";
    serial_open_hint(port_name, hint, sizeof hint);
    write_all(stderr, notice_lines(hint));
    return CLI_EXIT_NO_PORT;
  }

  const bool show_progress = console_stderr_is_terminal();
  ProgressLine line(show_progress);
  ProgressMeter meter(image.size, upgrade_erase_blocks(image.load_address, image.size));
  RunVerdict verdict;
  NoticeQueue queue;
  UpgradeWorker worker;
  worker.start(&queue, port, image);

  bool cancelling = false;
  int polls_without_worker = 0;
  while (!verdict.done()) {
    Notice notice{};
    if (queue.wait_pop(notice, kPollMs)) {
      double now = seconds_now();
      polls_without_worker = 0;
      if (notice.kind == NOTIFY_TEXT || notice.kind == NOTIFY_TEXT_OLD) {
        const TextNotice* text = static_cast<const TextNotice*>(notice.payload);
        line.clear();
        write_all(stdout, notice_lines(text->text));
        meter.on_text(now);
        line.draw(meter, now, true);
      } else if (notice.kind == NOTIFY_PROGRESS) {
        meter.on_progress(*static_cast<const int32_t*>(notice.payload), now);
        line.draw(meter, now, false);
      } else if (notice.kind == NOTIFY_DONE) {
        verdict.on_done();
      }
      notice_free(notice.kind, notice.payload);
    } else if (worker.exited == 1 && queue.size() == 0 && ++polls_without_worker >= kLostWorkerPolls) {
      line.clear();
      write_all(stderr, "orvaload-cli: the upgrade ended without a final report\n");
      break;
    }

    if (!cancelling && console_interrupted()) {
      // Same effect as the dialog's Cancel: the run ends at its next
      // progress message with the cancelled text. Waiting for that here
      // rather than inside stop() keeps its texts flowing meanwhile.
      cancelling = true;
      worker.cancel = 1;
      line.note("cancelling: the run stops at its next progress message\n");
    }
  }

  worker.stop();
  verdict.on_result(worker.run_result);
  queue.close();
  char close_message[128] = "";
  serial_close(&port, close_message);
  port = 0;
  line.finish(meter, seconds_now());
  return verdict.exit_code();
}
