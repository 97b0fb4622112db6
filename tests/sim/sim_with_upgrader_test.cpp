// The upgrader's own sequence and engine against the simulated controller,
// in-process: the simulator's checks must hold for the real host, and each
// fault must end the host's run the way the fault intends.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "notify/notice_queue.h"
#include "sim/sim_line.h"
#include "tests/support/fake_clock.h"
#include "upgrade/firmware.h"
#include "upgrade/sequence.h"
#include "upgrade/worker.h"

namespace {

class SimRun : public ::testing::Test {
protected:
  SimConfig config_with(std::initializer_list<SimFault> faults) {
    SimConfig config;
    const FirmwareImage& image = firmware_image();
    config.image.assign(image.bytes, image.bytes + image.size);
    config.load_address = image.load_address;
    config.faults = faults;
    return config;
  }

  // One run of the upgrader over `line`, as the worker's thread performs it.
  int32_t run(SimLine& line) {
    line.set_read_hook([this] { clock.on_read(); });
    upgrade_prepare_run(&worker, &queue, line.handle());
    return upgrade_run(&worker, firmware_image());
  }

  void expect_clean(const SimLine& line, uint32_t runs = 1) {
    const SimReport& r = line.controller().report();
    EXPECT_TRUE(r.violations.empty()) << r.violations.front();
    EXPECT_EQ(r.runs, runs);
    EXPECT_TRUE(r.jumped);
    EXPECT_EQ(r.jump_address, firmware_image().load_address);
    EXPECT_TRUE(line.controller().image_matches());
  }

  std::string status() const { return worker.status_text; }

  FakeClock clock;
  NoticeQueue queue;
  UpgradeWorker worker;

  void SetUp() override {
    clock.set_second(30);
    clock.set_step_ms(10); // a read of a real port returns within milliseconds
  }
};

TEST_F(SimRun, ACleanRunLeavesTheImageAndBreaksNoRule) {
  SimLine line(config_with({}));
  EXPECT_EQ(run(line), 0);
  const SimReport& r = line.controller().report();
  EXPECT_EQ(r.progress, 101u);
  EXPECT_EQ(r.erase, 12u);
  EXPECT_EQ(r.program, 704u);
  EXPECT_EQ(r.jump, 1u);
  EXPECT_EQ(r.frames.size(), 818u);
  expect_clean(line);
  EXPECT_EQ(line.unread(), 0u);
}

TEST_F(SimRun, RefusalsAreRetransmittedUnderTheNumbersTheSimulatorExpects) {
  // The run's first message, an erase and a program chunk, each refused three times.
  SimLine line(config_with({{SimFaultKind::refuse, 1, 3, 0},
                            {SimFaultKind::refuse, 6, 3, 0},
                            {SimFaultKind::refuse, 300, 3, 0}}));
  EXPECT_EQ(run(line), 0) << status();
  EXPECT_EQ(line.controller().report().frames.size(), 818u + 9u);
  expect_clean(line);
}

TEST_F(SimRun, AFourthRefusalEndsTheRunAndTheNextRunSucceeds) {
  SimLine line(config_with({{SimFaultKind::refuse, 20, 4, 0}}));
  EXPECT_EQ(run(line), 1);
  EXPECT_EQ(status(), "retransmission failed after multiple retries, error!\r\n");
  EXPECT_FALSE(line.controller().report().jumped);
  EXPECT_EQ(run(line), 0) << status();
  expect_clean(line, 2);
}

TEST_F(SimRun, EachMalformedAnswerStopsTheHostAtOnce) {
  const std::pair<SimFaultKind, int> cases[] = {{SimFaultKind::bad_command, 2},
                                                {SimFaultKind::bad_length, 3},
                                                {SimFaultKind::bad_checksum, 4},
                                                {SimFaultKind::no_etx, 5}};
  for (const auto& c : cases) {
    SimLine line(config_with({{c.first, 30, 1, 0}}));
    EXPECT_EQ(run(line), 1);
    EXPECT_EQ(status(), "unknown message format error(" + std::to_string(c.second) + ")!\r\n");
    // The host stops before it sends the message queued behind request 30.
    EXPECT_EQ(line.controller().report().frames.size(), 30u);
    EXPECT_TRUE(line.controller().report().violations.empty());
  }
}

TEST_F(SimRun, DeviceErrorsSilenceAndADroppedLine) {
  // Requests: progress 0, erase 0x4000, progress 1, erase 0x8000.
  SimLine erring(config_with({{SimFaultKind::device_error, 4, 1, 7}}));
  EXPECT_EQ(run(erring), 1);
  EXPECT_EQ(status(), "ORVA had an internal error(7)!\r\n"
                      "Message id 3/3, type erase: offset address 0x00008000 size 16384 bytes\r\n");

  SimLine silent(config_with({{SimFaultKind::silent, 40, 1, 0}}));
  const int64_t before = clock.elapsed_ms();
  EXPECT_EQ(run(silent), 1);
  EXPECT_EQ(status(), "serial port timeout during transmission, error!\r\n");
  EXPECT_GE(clock.elapsed_ms() - before, 4000);

  SimLine dropped(config_with({{SimFaultKind::close_line, 50, 1, 0}}));
  EXPECT_EQ(run(dropped), 1);
  EXPECT_EQ(status(), "serial port read error!\r\n");
}

TEST_F(SimRun, TwoAcknowledgementsFinishTheLinkEarly) {
  // The upgrader takes a link that finished before the jump for a failure.
  SimLine line(config_with({{SimFaultKind::double_ack, 10, 1, 0}}));
  EXPECT_EQ(run(line), 1);
  EXPECT_EQ(status(), "transmission ended in unexpected state error!\r\n");
  EXPECT_EQ(line.controller().report().frames.size(), 11u);
  EXPECT_TRUE(line.controller().report().violations.empty());
  EXPECT_FALSE(line.controller().report().jumped);
}

TEST_F(SimRun, StrayBytesAndSingleByteReadsStillMakeACleanRun) {
  SimConfig config = config_with({});
  config.stray_bytes = 40;
  config.byte_at_a_time = true;
  SimLine line(config);
  EXPECT_EQ(run(line), 0) << status();
  expect_clean(line);
}

// Takes every notice of a run and keeps what the size runs look at.
class ScaleWatch final : public NoticeTarget {
public:
  bool post(uint32_t kind, void* payload) override {
    Notice notice;
    if (!notice_take(kind, payload, notice)) {
      return false;
    }
    if (notice.kind == NOTIFY_PROGRESS) {
      lowest = std::min(lowest, notice.value);
      highest = std::max(highest, notice.value);
      last_progress = notice.value;
    } else if (notice.kind == NOTIFY_TEXT) {
      last_text = notice.text;
    }
    return true;
  }
  int32_t lowest = INT32_MAX;
  int32_t highest = INT32_MIN;
  int32_t last_progress = -1;
  std::string last_text;
};

// One whole run for each image size from a byte to the largest a build
// embeds: the bar stays within 0..1000, the controller hears percents within
// 0..100 with 100 last, and the flash ends up holding the image.
TEST_F(SimRun, EveryImageSizeKeepsProgressOnItsScale) {
  std::mt19937 random(11);
  const uint32_t load = 0x4000;
  for (uint32_t size :
       {1u, 255u, 256u, 257u, 16384u, 16385u, 65540u, 180000u, 180036u, 16u << 20}) {
    SCOPED_TRACE(size);
    SimConfig config;
    config.image.resize(size);
    for (uint8_t& b : config.image) {
      b = static_cast<uint8_t>(random());
    }
    config.load_address = load;
    const uint32_t blocks = upgrade_erase_blocks(load, size);
    config.flash_size = load + blocks * 16384;
    SimLine line(config);
    line.set_read_hook([this] { clock.on_read(); });
    ScaleWatch watch;
    upgrade_prepare_run(&worker, &watch, line.handle());
    const FirmwareImage image{config.image.data(), size, load};
    EXPECT_EQ(upgrade_run(&worker, image), 0) << status();

    EXPECT_EQ(watch.last_text, "Program success, starting application...");
    EXPECT_GE(watch.lowest, 0);
    EXPECT_LE(watch.highest, 1000);
    EXPECT_EQ(watch.last_progress, 1000);
    const SimReport& r = line.controller().report();
    ASSERT_FALSE(r.percents.empty());
    EXPECT_EQ(r.percents.back(), 100);
    EXPECT_EQ(r.program, (size + 255) / 256);
    EXPECT_EQ(r.erase, blocks);
    EXPECT_TRUE(r.violations.empty()) << r.violations.front();
    EXPECT_TRUE(r.jumped);
    EXPECT_TRUE(line.controller().image_matches());
  }
}

} // namespace
