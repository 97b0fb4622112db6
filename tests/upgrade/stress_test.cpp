// Start, stop and cancel at random moments of a run: every start ends with
// exactly one end notice, last of its run, and once stop returns no thread
// touches the record. Several runs at once on their own lines never share a
// byte. Meant for the thread sanitizer.
#include <memory>
#include <random>

#include "sim/sim_line.h"
#include "tests/upgrade/run_checks.h"

namespace {

using WorkerStressTest = UpgradeTest;

// Waits a random moment: a few scheduler turns, up to a good part of a run.
void wander(std::mt19937& random, uint32_t most) {
  const uint32_t turns = std::uniform_int_distribution<uint32_t>(0, most)(random);
  for (uint32_t i = 0; i < turns; ++i) {
    std::this_thread::yield();
  }
}

TEST_F(WorkerStressTest, StartStopAndCancelAtRandomMoments) {
  std::mt19937 random(20240611);
  constexpr int ROUNDS = 240;
  int completed = 0;
  for (int round = 0; round < ROUNDS; ++round) {
    SCOPED_TRACE(round);
    worker.start(&queue, line.handle());
    switch (round % 4) {
    case 0: // stop at once, perhaps before the thread has begun
      worker.stop();
      break;
    case 1: // stop somewhere in the run
      wander(random, 2000);
      worker.stop();
      break;
    case 2: // cancel without waiting, then let the run end by itself
      wander(random, 2000);
      worker.cancel = 1;
      break;
    default: // nobody interferes; the next start waits for this thread
      break;
    }
    if (round % 4 < 2) {
      // stop's promise: the thread has let go of the record.
      EXPECT_EQ(worker.exited, 1);
      EXPECT_EQ(worker.target_window, nullptr);
      EXPECT_FALSE(worker.thread.joinable());
    }
    const auto seen = drain_run(queue, 60000);
    ASSERT_FALSE(seen.empty());
    for (size_t i = 0; i + 1 < seen.size(); ++i) {
      ASSERT_NE(seen[i].kind, NOTIFY_DONE) << "an end notice before the end";
    }
    const std::vector<std::string> texts = texts_of(seen);
    completed += !texts.empty() && texts.back() == "Program success, starting application...";
    forget_writes();
  }
  worker.stop();
  EXPECT_TRUE(drain(queue).empty());
  EXPECT_GT(completed, 0);
}

// Four workers, each with its own simulated controller, run at the same
// time. Answers that arrive a byte at a time or behind stray bytes keep a
// frame half-received across reads, which is where runs sharing the link's
// areas would corrupt each other. One controller reports a device error;
// that run fails alone.
TEST(ParallelRunsTest, RunsOnSeveralLinesAtOnceStayApart) {
  FakeClock clock; // stands still: no time-out, however slow the threads are
  const FirmwareImage& image = firmware_image();
  struct Port {
    SimConfig config;
    std::unique_ptr<SimLine> line;
    std::unique_ptr<RecordingPort> recorder;
    NoticeQueue queue;
    UpgradeWorker worker;
    std::vector<Notice> seen;
  };
  std::vector<std::unique_ptr<Port>> ports;
  for (int i = 0; i < 4; ++i) {
    auto port = std::make_unique<Port>();
    port->config.image.assign(image.bytes, image.bytes + image.size);
    port->config.load_address = image.load_address;
    port->config.byte_at_a_time = i == 1;
    port->config.stray_bytes = i == 2 ? 3 : 0;
    if (i == 3) port->config.faults = {{SimFaultKind::device_error, 400, 1, 9}};
    port->line = std::make_unique<SimLine>(port->config);
    port->recorder = std::make_unique<RecordingPort>(port->line.get());
    ports.push_back(std::move(port));
  }
  for (auto& port : ports) port->worker.start(&port->queue, port->recorder->handle());
  for (auto& port : ports) {
    port->seen = drain_run(port->queue, 120000);
    port->worker.stop();
  }

  for (size_t i = 0; i < 3; ++i) {
    SCOPED_TRACE(i);
    const Port& port = *ports[i];
    expect_clean_notices(port.seen);
    expect_clean_wire(split_frames(port.recorder->written()), image, 1);
    EXPECT_TRUE(port.line->controller().image_matches());
    EXPECT_TRUE(port.line->controller().report().violations.empty());
  }
  const Port& failed = *ports[3];
  const std::vector<std::string> texts = texts_of(failed.seen);
  ASSERT_FALSE(texts.empty());
  EXPECT_EQ(texts.back().rfind("ORVA had an internal error(9)!\r\n", 0), 0u) << texts.back();
  EXPECT_FALSE(failed.line->controller().report().jumped);
  EXPECT_TRUE(failed.line->controller().report().violations.empty());
}

} // namespace
