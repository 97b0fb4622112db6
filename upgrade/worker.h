// The upgrade worker: one thread per run that performs the upgrade sequence
// and reports through notices. Fields are public: the sequence's steps are
// plain functions over this record.
#pragma once

#include <atomic>
#include <cstdint>
#include <thread>

#include "app/notify/notify.h"
#include "link/link_records.h"
#include "serial/port.h"
#include "upgrade/event.h"

constexpr int UPGRADE_TEXT_SIZE = 256;

class UpgradeWorker {
public:
  UpgradeWorker();
  ~UpgradeWorker();
  UpgradeWorker(const UpgradeWorker&) = delete;
  UpgradeWorker& operator=(const UpgradeWorker&) = delete;

  // Starts one run on a new thread, posting every notice to `target` and the
  // end notice (NOTIFY_DONE) last. Does nothing when target or port is 0.
  // Returns 0.
  int start(NoticeTarget* target, PortHandle port);
  // Asks a running thread to stop and returns once no thread uses the
  // record. A run ends at its next progress message. Returns 0.
  int stop();

  AutoResetEvent stop_event;
  AutoResetEvent start_event;
  NoticeTarget* target_window = nullptr;
  std::thread* thread = nullptr;
  std::atomic<int32_t> cancel{0};
  std::atomic<int32_t> exited{1};
  int32_t last_progress = -1;
  LinkContext link{};
  PortHandle port = 0;
  char status_text[UPGRADE_TEXT_SIZE] = {};
  int32_t last_result = 0;
};
