// The dialog's runner in the programs: one UpgradeWorker, whose destruction
// stops a thread that still runs.
#pragma once

#include "app/dialog/dialog_runner.h"
#include "upgrade/worker.h"

class WorkerRunner final : public DialogRunner {
public:
  int start(NoticeTarget* target, PortHandle port) override { return worker_.start(target, port); }
  int stop() override { return worker_.stop(); }

private:
  UpgradeWorker worker_;
};
