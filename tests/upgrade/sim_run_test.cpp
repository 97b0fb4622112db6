// Whole runs through the worker's thread against the simulated controller in
// memory: the wire, the flash, the notices in order, each fault's ending, and
// a clean run on the same worker after it.
#include <atomic>
#include <memory>

#include "sim/sim_line.h"
#include "tests/upgrade/run_checks.h"

namespace {

const char* const SUCCESS = "Program success, starting application...";

class SimRunTest : public ::testing::Test {
protected:
  SimRunTest() {
    clock.set_second(50); // the five seconds of a time-out cross a full minute
    clock.set_step_ms(10);
  }

  std::unique_ptr<SimLine> make_line(std::vector<SimFault> faults = {}) {
    SimConfig config;
    config.image.assign(image.bytes, image.bytes + image.size);
    config.load_address = image.load_address;
    config.faults = std::move(faults);
    auto line = std::make_unique<SimLine>(config);
    line->set_read_hook([this] {
      clock.on_read();
      if (++reads == cancel_at_read) {
        worker.cancel_run();
      }
    });
    return line;
  }

  // One run through the worker over `line`; returns its notices.
  std::vector<Notice> run(SimLine& line) {
    recorder = std::make_unique<RecordingPort>(&line);
    reads = 0;
    worker.start(&queue, recorder->handle());
    std::vector<Notice> seen = drain_run(queue);
    worker.stop();
    return seen;
  }

  // The run failed with `text` and `code`: that text is the last one, the end
  // notice follows it, and the simulator saw no protocol violation.
  void expect_failure(const std::vector<Notice>& seen, const SimLine& line, const std::string& text,
                      int32_t code = 1) {
    ASSERT_GE(seen.size(), 2u);
    EXPECT_EQ(seen[seen.size() - 2].text, text);
    EXPECT_EQ(seen[seen.size() - 2].code, code);
    EXPECT_EQ(seen.back().kind, NOTIFY_DONE);
    EXPECT_NE(texts_of(seen).back(), SUCCESS);
    EXPECT_FALSE(line.controller().report().jumped);
    EXPECT_EQ(worker.run_result, 1);
    EXPECT_NE(worker.report.ending, RunEnding::ok);
    const auto& violations = line.controller().report().violations;
    EXPECT_TRUE(violations.empty()) << violations.front();
  }

  void expect_clean(const std::vector<Notice>& seen, const SimLine& line, uint8_t first) {
    expect_clean_notices(seen);
    expect_clean_wire(split_frames(recorder->written()), image, first);
    EXPECT_TRUE(line.controller().image_matches());
    const SimReport& report = line.controller().report();
    EXPECT_TRUE(report.violations.empty()) << report.violations.front();
    EXPECT_TRUE(report.jumped);
    EXPECT_EQ(worker.last_result, 0);
    EXPECT_EQ(worker.link.frames_sent, 818u);
    EXPECT_EQ(worker.link.retransmissions, 0u);
    EXPECT_EQ(worker.run_result, 0);
    EXPECT_EQ(worker.report.ending, RunEnding::ok);
    EXPECT_EQ(worker.report.step, RunStep::start);
    EXPECT_EQ(worker.report.frames_sent, 818u);
    EXPECT_EQ(worker.report.retransmissions, 0u);
  }

  // After a failed run the same worker makes a clean one.
  void expect_next_run_clean() {
    auto line = make_line();
    const uint8_t first = static_cast<uint8_t>(worker.link.sequence + 1);
    expect_clean(run(*line), *line, first);
  }

  const FirmwareImage& image = firmware_image();
  FakeClock clock;
  NoticeQueue queue;
  std::unique_ptr<RecordingPort> recorder;
  std::atomic<uint32_t> reads{0};
  uint32_t cancel_at_read = 0; // 0: never
  UpgradeWorker worker;
};

TEST_F(SimRunTest, TwoCleanRunsOnOneWorker) {
  auto line = make_line();
  expect_clean(run(*line), *line, 1);
  EXPECT_EQ(line->unread(), 0u);
  // 818 messages later the counter stands at 817 mod 256 = 49.
  expect_next_run_clean();
}

TEST_F(SimRunTest, RefusalsRecoveredByRetransmissionStillSucceed) {
  // Request 200, then the jump: the 818th message, the 819th request after one retransmission.
  auto line = make_line({{SimFaultKind::refuse, 200, 1, 0}, {SimFaultKind::refuse, 819, 1, 0}});
  const auto seen = run(*line);
  EXPECT_EQ(texts_of(seen).back(), SUCCESS);
  EXPECT_TRUE(line->controller().image_matches());
  EXPECT_TRUE(line->controller().report().jumped);
  EXPECT_EQ(line->controller().report().frames.size(), 820u);
  EXPECT_EQ(worker.link.frames_sent, 820u);
  EXPECT_EQ(worker.link.retransmissions, 2u);
}

TEST_F(SimRunTest, FourRefusals) {
  auto line = make_line({{SimFaultKind::refuse, 200, 4, 0}});
  expect_failure(run(*line), *line, "retransmission failed after multiple retries, error!\r\n");
  expect_next_run_clean();
}

TEST_F(SimRunTest, Silence) {
  auto line = make_line({{SimFaultKind::silent, 300, 1, 0}});
  int64_t silent_since = 0;
  line->set_read_hook([&] {
    clock.on_read();
    if (line->controller().requests() < 300) {
      silent_since = clock.elapsed_ms();
    }
  });
  expect_failure(run(*line), *line, "serial port timeout during transmission, error!\r\n");
  EXPECT_GE(clock.elapsed_ms() - silent_since, 4000);
  EXPECT_LE(clock.elapsed_ms() - silent_since, 5100);
  expect_next_run_clean();
}

TEST_F(SimRunTest, EachMalformedAnswer) {
  const std::pair<SimFaultKind, int> cases[] = {{SimFaultKind::bad_command, 2},
                                                {SimFaultKind::bad_length, 3},
                                                {SimFaultKind::bad_checksum, 4},
                                                {SimFaultKind::no_etx, 5}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.second);
    auto line = make_line({{c.first, 400, 1, 0}});
    expect_failure(run(*line), *line,
                   "unknown message format error(" + std::to_string(c.second) + ")!\r\n");
  }
  expect_next_run_clean();
}

TEST_F(SimRunTest, DeviceErrorOnTheThirdEraseBlock) {
  // Requests: progress 0, erase 0x4000, progress 1, erase 0x8000, progress 2, erase 0xc000.
  auto line = make_line({{SimFaultKind::device_error, 6, 1, 7}});
  const auto seen = run(*line);
  expect_failure(seen, *line,
                 "ORVA had an internal error(7)!\r\nMessage id 5/5, type erase: offset address "
                 "0x0000c000 size 16384 bytes\r\n");
  // Its erase text and its progress come before the failure, and nothing after it.
  ASSERT_GE(seen.size(), 4u);
  EXPECT_EQ(seen[seen.size() - 4].text, "Erase address 0000c000h 16384 bytes");
  EXPECT_EQ(seen[seen.size() - 3].value, 39);
  EXPECT_EQ(worker.report.ending, RunEnding::failed);
  EXPECT_EQ(worker.report.step, RunStep::erase);
  expect_next_run_clean();
}

TEST_F(SimRunTest, AClosedLine) {
  auto line = make_line({{SimFaultKind::close_line, 500, 1, 0}});
  expect_failure(run(*line), *line, "serial port read error!\r\n");
  expect_next_run_clean();
}

TEST_F(SimRunTest, TwoAcknowledgementsInOneReadAreNoSuccess) {
  auto line = make_line({{SimFaultKind::double_ack, 100, 1, 0}});
  const auto seen = run(*line);
  expect_failure(seen, *line, "transmission ended in unexpected state error!\r\n");
  const auto texts = texts_of(seen);
  EXPECT_EQ(texts[texts.size() - 2], "transmission done, success!\r\n");
  expect_next_run_clean();
}

TEST_F(SimRunTest, CancelDuringProgrammingEndsAtTheNextPercent) {
  cancel_at_read = 300;
  auto line = make_line();
  const auto seen = run(*line);
  expect_failure(seen, *line, "user canceled transmission, upgrade not complete!\r\n");
  // At most a percent of the programming span (8 chunks) went out after the cancel.
  EXPECT_LE(line->controller().report().frames.size(), 300u + 10u);
  EXPECT_EQ(split_frames(recorder->written()).back().command, CMD_PROGRAM);
  EXPECT_EQ(worker.report.ending, RunEnding::cancelled);
  EXPECT_EQ(worker.report.step, RunStep::program);
  cancel_at_read = 0;
  expect_next_run_clean();
}

TEST_F(SimRunTest, CancelAfterTheLastPercentLetsTheRunComplete) {
  // Each exchange after the first message reads once; the 816th is the one
  // that sends the percent-100 message, and it took cancel before it began.
  cancel_at_read = 816;
  auto line = make_line();
  const auto seen = run(*line);
  EXPECT_EQ(texts_of(seen).back(), SUCCESS);
  EXPECT_TRUE(line->controller().image_matches());
}

TEST_F(SimRunTest, TheRunSendsTheImageItIsGiven) {
  // An image from a file: another size, high in the address space, its last
  // chunk short. The built-in image is what a worker sends without one.
  std::vector<uint8_t> bytes(70001);
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(i * 7 + (i >> 9));
  const FirmwareImage other{bytes.data(), static_cast<uint32_t>(bytes.size()), 0x08010000};
  SimConfig config;
  config.flash_base = 0x08000000;
  config.image = bytes;
  config.load_address = other.load_address;
  SimLine line(config);
  line.set_read_hook([this] { clock.on_read(); });
  recorder = std::make_unique<RecordingPort>(&line);
  worker.start(&queue, recorder->handle(), other);
  const auto seen = drain_run(queue);
  worker.stop();
  EXPECT_EQ(texts_of(seen).back(), SUCCESS);
  const SimReport& report = line.controller().report();
  EXPECT_TRUE(line.controller().image_matches());
  EXPECT_TRUE(report.violations.empty()) << report.violations.front();
  EXPECT_EQ(report.program, 274u);
  EXPECT_EQ(report.jump_address, 0x08010000u);

  expect_next_run_clean();
}

} // namespace
