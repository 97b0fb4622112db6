#include "upgrade/worker.h"

#include <system_error>

#include "upgrade/firmware.h"
#include "upgrade/sequence.h"
#include "upgrade/spawn.h"

UpgradeWorker::UpgradeWorker() = default;

UpgradeWorker::~UpgradeWorker() {
  stop();
}

int UpgradeWorker::start(NoticeTarget* target, PortHandle port_handle,
                         const FirmwareImage& run_image) {
  if (target == nullptr || port_handle == 0) {
    return 0;
  }
  // Every thread performs one run; a second one on the same record would
  // share its link and port.
  if (thread.joinable()) {
    thread.join();
  }
  upgrade_prepare_run(this, target, port_handle, run_image);
  // Cleared here rather than by the thread, so that a stop right after this
  // start waits for the thread even before it has begun.
  exited = 0;
  start_event.set();
  try {
    thread = upgrade_spawn_thread(this);
  } catch (const std::system_error&) {
    // Without a thread no end notice would ever come and the dialog would
    // wait for one with its controls disabled.
    notify_text_code(target_window, "Cannot start the upgrade thread, upgrade not started", 1);
    report.ending = upgrade_run_ending(UPGRADE_NO_RUN, false, notify_done(target_window, 0) == 1);
    target_window = nullptr;
    cancel = 1;
    exited = 1;
  }
  return 0;
}

void upgrade_prepare_run(UpgradeWorker* w, NoticeTarget* target, PortHandle port,
                         const FirmwareImage& image) {
  w->image = image;
  w->last_progress = -1;
  w->target_window = target;
  w->port = port;
  w->cancel = 0;
  w->last_result = 0;
  w->run_result = UPGRADE_NO_RUN;
  w->status_text[0] = '\0';
  w->report = RunReport{};
}

RunEnding upgrade_run_ending(int32_t run_result, bool cancelled, bool end_notice_posted) {
  if (!end_notice_posted) return RunEnding::lost;
  if (run_result == 0) return RunEnding::ok;
  return cancelled ? RunEnding::cancelled : RunEnding::failed;
}

int UpgradeWorker::stop() {
  cancel = 1;
  stop_event.set();
  // A notice target that stops the worker from inside a post must not join
  // its own thread; the run then ends by itself at its next progress message.
  if (thread.joinable() && thread.get_id() != std::this_thread::get_id()) {
    thread.join();
  }
  return 0;
}

unsigned upgrade_thread_proc(void* param) {
  auto* w = static_cast<UpgradeWorker*>(param);
  if (w == nullptr) {
    return 0;
  }
  if (w->target_window == nullptr) {
    w->exited = 1;
    return 0;
  }
  w->exited = 0;
  do {
    switch (event_wait_any(w->start_event, w->stop_event, UPGRADE_WAIT_MS)) {
    case 0:
      w->run_result = upgrade_run(w, w->image);
      w->report.frames_sent = w->link.frames_sent;
      w->report.retransmissions = w->link.retransmissions;
      w->cancel = 1;
      break;
    case 1:
      w->cancel = 1;
      break;
    default:
      break; // time-out: look at cancel and wait again
    }
  } while (w->cancel == 0);
  // The end notice comes after the last use of the port: the dialog closes it
  // on receipt.
  const bool told = notify_done(w->target_window, 0) == 1;
  w->report.ending =
      upgrade_run_ending(w->run_result, w->report.ending == RunEnding::cancelled, told);
  w->target_window = nullptr;
  w->exited = 1;
  return 0;
}
