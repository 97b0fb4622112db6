// The dialog's runner in the programs: one UpgradeWorker, whose destruction
// stops a thread that still runs. Each run sends `image`, or the built-in
// image when there is none.
#pragma once

#include "app/dialog/dialog_runner.h"
#include "upgrade/sequence.h"
#include "upgrade/worker.h"

class WorkerRunner final : public DialogRunner {
public:
  explicit WorkerRunner(const FirmwareImage* image = nullptr) : image_(image) {}
  int start(NoticeTarget* target, PortHandle port) override {
    return image_ != nullptr ? worker_.start(target, port, *image_) : worker_.start(target, port);
  }
  int stop() override { return worker_.stop(); }
  uint32_t answers() const override {
    return upgrade_answers(image_ != nullptr ? *image_ : firmware_image());
  }

private:
  const FirmwareImage* image_;
  UpgradeWorker worker_;
};
