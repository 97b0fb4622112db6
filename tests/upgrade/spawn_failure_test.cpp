// A system that cannot create another thread: the run that start promised
// must still end with a text and the end notice, or the dialog waits forever.
#include <system_error>

#include "tests/upgrade/upgrade_fixture.h"
#include "upgrade/spawn.h"

std::thread upgrade_spawn_thread(UpgradeWorker*) {
  throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
}

namespace {

using SpawnFailureTest = UpgradeTest;

TEST_F(SpawnFailureTest, StartReportsTheFailureAndEndsTheRun) {
  EXPECT_EQ(worker.start(&queue, line.handle()), 0);
  const auto seen = drain(queue);
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[0].kind, NOTIFY_TEXT);
  EXPECT_EQ(seen[0].code, 1);
  EXPECT_NE(seen[0].text.find("thread"), std::string::npos);
  EXPECT_EQ(seen[1].kind, NOTIFY_DONE);
  EXPECT_EQ(worker.exited, 1);
  EXPECT_EQ(worker.target_window, nullptr);
  EXPECT_EQ(worker.stop(), 0);
  EXPECT_EQ(worker.run_result, UPGRADE_NO_RUN)
      << "no run, so no result a caller could take for success";
  EXPECT_TRUE(line.writes().empty());
}

} // namespace
