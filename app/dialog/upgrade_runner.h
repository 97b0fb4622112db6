// The dialog's worker in the programs: one UpgradeWorker, whose destruction
// stops a thread that still runs.
#pragma once

#include "app/dialog/dialog_seams.h"
#include "upgrade/worker.h"

class UpgradeRunner final : public DialogWorker {
public:
  int start(NoticeTarget* target, PortHandle port) override { return worker_.start(target, port); }
  int stop() override { return worker_.stop(); }

private:
  UpgradeWorker worker_;
};
