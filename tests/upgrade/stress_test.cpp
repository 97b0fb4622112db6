// Start, stop and cancel at random moments of a run: every start ends with
// exactly one end notice, last of its run, and once stop returns no thread
// touches the record. Meant for the thread sanitizer.
#include <random>

#include "tests/upgrade/upgrade_fixture.h"

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

} // namespace
