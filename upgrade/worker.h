// The upgrade worker: one thread per run that performs the upgrade sequence
// and reports through notices. Fields are public: the sequence's steps are
// plain functions over this record.
#pragma once

#include <atomic>
#include <cstdint>
#include <thread>

#include "link/engine.h"
#include "link/link_records.h"
#include "link/port.h"
#include "notify/notify.h"
#include "upgrade/event.h"
#include "upgrade/firmware.h"

constexpr int UPGRADE_TEXT_SIZE = 256;
static_assert(UPGRADE_TEXT_SIZE >= LINK_TEXT_SIZE, "status_text takes any outcome text");
static_assert(UPGRADE_TEXT_SIZE <= NOTIFY_TEXT_SIZE, "status_text goes out whole in a notice");

// UpgradeWorker::run_result before a run has ended.
constexpr int32_t UPGRADE_NO_RUN = INT32_MIN;

// How long the worker thread waits for a signal before it looks at `cancel` again.
constexpr uint32_t UPGRADE_WAIT_MS = 1000;

// How a run ended, as the worker saw it.
enum class RunEnding : uint8_t {
  ok,        // the controller took the whole image and the jump, and the end notice went out
  failed,    // any failure of the run, and a run that never began
  cancelled, // a cancel stopped it at a progress message
  lost,      // the end notice could not be posted: its target hears of no end
};

// The parts of a run, in the order they come.
enum class RunStep : uint8_t {
  none,    // no run began
  reset,   // the first progress message, which also resets the link
  erase,   // the erase blocks
  program, // the program chunks
  start,   // the last progress message, the jump and the closing exchange
};

// What the last run did, as data for the front ends.
struct RunReport {
  // cancelled as soon as a cancel stops an exchange; settled when the thread
  // has posted the end notice.
  RunEnding ending = RunEnding::failed;
  RunStep step = RunStep::none; // the part the run was in when it ended
  uint32_t frames_sent = 0;     // retransmissions included
  uint32_t retransmissions = 0;
  bool timed_out = false; // the run ended waiting for an answer that never came
};

// ok only for a run that returned 0 and told its target so; a run whose end
// notice went nowhere is lost, whatever it returned.
RunEnding upgrade_run_ending(int32_t run_result, bool cancelled, bool end_notice_posted);

class UpgradeWorker {
public:
  UpgradeWorker();
  // Stops and waits for a running thread first.
  ~UpgradeWorker();
  UpgradeWorker(const UpgradeWorker&) = delete;
  UpgradeWorker& operator=(const UpgradeWorker&) = delete;

  // Starts one run on a new thread, posting every notice to `target` and the
  // end notice (NOTIFY_DONE) last. Does nothing when target or port is 0.
  // A thread of an earlier run is waited for first. Returns 0.
  // Call start, stop and the destructor from one thread (the dialog's).
  // The run sends `image`, whose bytes must stay valid until the end notice;
  // without one it sends the built-in image.
  int start(NoticeTarget* target, PortHandle port, const FirmwareImage& image);
  int start(NoticeTarget* target, PortHandle port) { return start(target, port, firmware_image()); }
  // Asks a running thread to stop and returns once no thread uses the
  // record. A run ends at its next progress message. Returns 0.
  int stop();
  // Asks the run to stop at its next progress message, the way stop() does,
  // but returns at once; any thread may call it.
  void cancel_run() { cancel = 1; }
  // Whether no thread uses the record: before the first start, and once a
  // run's thread has posted its end notice (or failed to) and let go.
  bool thread_ended() const { return exited == 1; }

  AutoResetEvent stop_event;
  AutoResetEvent start_event;
  NoticeTarget* target_window = nullptr;
  // The thread of the last start; joined by the next start, stop or the
  // destructor. Not joinable when no thread was started since.
  std::thread thread;
  std::atomic<int32_t> cancel{0};
  std::atomic<int32_t> exited{1};
  int32_t last_progress = -1;
  LinkContext link{};
  PortHandle port = 0;
  char status_text[UPGRADE_TEXT_SIZE] = {};
  // Outcome of the last exchange; after a run, 0 exactly when the controller
  // took the whole image and the jump.
  int32_t last_result = 0;
  // What the last run returned: 0 exactly when the controller took the whole
  // image and the jump; UPGRADE_NO_RUN until a run has ended, and when none
  // could start. Read it once the thread has been joined (stop()).
  int32_t run_result = UPGRADE_NO_RUN;
  // What the run sends; set before its thread exists.
  FirmwareImage image = firmware_image();
  // The last run in data; read it once the thread has been joined (stop()).
  RunReport report;
  // Set before start(): the run also posts NOTIFY_STEP as each part begins.
  // The dialog does not ask for them.
  bool step_notices = false;
};

// Sets the fields a run begins from: no progress reported yet, no result, no
// cancel, an empty status text, and where its notices go, which port it uses
// and which image it sends. start() does this before the thread exists;
// tests that drive the sequence on their own thread call it too.
void upgrade_prepare_run(UpgradeWorker* worker, NoticeTarget* target, PortHandle port,
                         const FirmwareImage& image = firmware_image());

// The worker thread: waits for the start signal, performs one run, posts the
// end notice, lets go of the record. `worker` is the UpgradeWorker.
unsigned upgrade_thread_proc(void* worker);
