// Starts and stops the upgrade dialog's runs: one UpgradeWorker in the
// programs (worker_runner.h), a fake in the tests.
#pragma once

#include <cstdint>

#include "link/port.h"
#include "notify/notify.h"

class DialogRunner {
public:
  virtual ~DialogRunner() = default;
  // Starts one run that reports to `target`; returns at once.
  virtual int start(NoticeTarget* target, PortHandle port) = 0;
  // Returns once no worker thread runs.
  virtual int stop() = 0;
  // About how many answers of the controller one run waits for.
  virtual uint32_t answers() const = 0;
};
