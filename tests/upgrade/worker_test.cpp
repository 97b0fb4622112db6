// The worker's thread: one run per start, the end notice last, and stop and
// the destructor waiting until no thread uses the record.
#include <future>
#include <memory>

#include "link/engine.h"
#include "tests/upgrade/run_checks.h"
#include "upgrade/event.h"

namespace {

using WorkerTest = UpgradeTest;

TEST(AutoResetEventTest, ASignalIsKeptUntilOneWaitConsumesIt) {
  AutoResetEvent a;
  AutoResetEvent b;
  EXPECT_EQ(event_wait_any(a, b, 0), EVENT_WAIT_TIMEOUT);
  a.set();
  a.set();
  EXPECT_EQ(event_wait_any(a, b, 0), 0);
  EXPECT_EQ(event_wait_any(a, b, 0), EVENT_WAIT_TIMEOUT);
  // Both set: the first wins and the second stays set.
  a.set();
  b.set();
  EXPECT_EQ(event_wait_any(a, b, 0), 0);
  EXPECT_TRUE(b.is_set());
  EXPECT_EQ(event_wait_any(a, b, 0), 1);
  EXPECT_FALSE(b.is_set());
}

TEST(AutoResetEventTest, ASignalFromAnotherThreadEndsTheWait) {
  AutoResetEvent a;
  AutoResetEvent b;
  std::thread signaller([&] { b.set(); });
  EXPECT_EQ(event_wait_any(a, b, 60000), 1);
  signaller.join();
}

TEST_F(WorkerTest, ARunOnItsThreadEndsWithOneEndNoticeAndLetsGoOfTheRecord) {
  EXPECT_EQ(worker.start(&queue, line.handle()), 0);
  expect_clean_notices(drain_run(queue));
  expect_clean_wire(sent(), image, 1);
  EXPECT_EQ(worker.stop(), 0);
  EXPECT_EQ(worker.target_window, nullptr);
  EXPECT_FALSE(worker.thread.joinable());
  EXPECT_EQ(worker.exited, 1);
  EXPECT_EQ(worker.last_result, 0);
  EXPECT_TRUE(drain(queue).empty());
}

TEST_F(WorkerTest, ASecondRunBeginsAgainWithAFirstMessage) {
  answers[7] = wire_ack(7, 3); // the fourth erase block fails on the device
  worker.start(&queue, line.handle());
  const auto failed = drain_run(queue);
  ASSERT_GE(failed.size(), 2u);
  EXPECT_EQ(failed[failed.size() - 2].code, 1);
  EXPECT_EQ(worker.last_result, 1);

  answers.clear();
  forget_writes();
  const uint8_t counter = worker.link.sequence;
  worker.start(&queue, line.handle());
  expect_clean_notices(drain_run(queue));
  expect_clean_wire(sent(), image, static_cast<uint8_t>(counter + 1));
}

TEST_F(WorkerTest, StopOnAWorkerThatNeverRanLeavesItsSignalForNothing) {
  EXPECT_EQ(worker.stop(), 0);
  EXPECT_TRUE(worker.stop_event.is_set());
  EXPECT_TRUE(drain(queue).empty());
  // The start signal wins over the stale stop signal.
  worker.start(&queue, line.handle());
  expect_clean_notices(drain_run(queue));
}

TEST_F(WorkerTest, StartWithoutTargetOrPortDoesNothing) {
  EXPECT_EQ(worker.start(nullptr, line.handle()), 0);
  EXPECT_EQ(worker.start(&queue, 0), 0);
  EXPECT_FALSE(worker.thread.joinable());
  EXPECT_EQ(worker.exited, 1);
  EXPECT_TRUE(drain(queue).empty());
  EXPECT_TRUE(line.writes().empty());
}

TEST_F(WorkerTest, StopDuringARunEndsItAtTheNextProgressMessage) {
  std::promise<void> running;
  on_write[300] = [&] {
    running.set_value();
    while (worker.cancel == 0) {
      std::this_thread::yield();
    }
  };
  worker.start(&queue, line.handle());
  running.get_future().wait();
  worker.stop();
  EXPECT_EQ(worker.exited, 1);
  EXPECT_FALSE(worker.thread.joinable());
  const auto seen = drain(queue);
  ASSERT_GE(seen.size(), 2u);
  EXPECT_EQ(seen[seen.size() - 2].text, "user canceled transmission, upgrade not complete!\r\n");
  EXPECT_EQ(seen.back().kind, NOTIFY_DONE);
}

TEST_F(WorkerTest, DestroyingARunningWorkerWaitsForItsThread) {
  std::promise<void> running;
  auto doomed = std::make_unique<UpgradeWorker>();
  UpgradeWorker* record = doomed.get();
  on_write[100] = [&] {
    running.set_value();
    while (record->cancel == 0) {
      std::this_thread::yield();
    }
  };
  doomed->start(&queue, line.handle());
  running.get_future().wait();
  doomed.reset();
  const auto seen = drain(queue);
  ASSERT_FALSE(seen.empty());
  EXPECT_EQ(seen.back().kind, NOTIFY_DONE);
  EXPECT_LT(line.writes().size(), 120u);
}

TEST_F(WorkerTest, StartRightAfterARunThatWasNeverStoppedWaitsForItsThread) {
  worker.start(&queue, line.handle());
  worker.start(&queue, line.handle());
  worker.stop();
  // Two runs, each with its end notice; no thread shares the record.
  EXPECT_EQ(drain(queue).back().kind, NOTIFY_DONE);
  EXPECT_EQ(drain(queue).back().kind, NOTIFY_DONE);
  EXPECT_TRUE(drain(queue).empty());
}

} // namespace
