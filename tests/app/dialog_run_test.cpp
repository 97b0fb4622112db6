// The dialog with the real upgrade worker on its own thread, against the
// in-memory controller that acknowledges every frame. The test thread plays
// the user-interface thread: it handles the notices as the window would.
#include <gtest/gtest.h>

#include <future>
#include <thread>

#include "app/dialog/orva_load_dlg.h"
#include "tests/app/dialog_fakes.h"
#include "tests/upgrade/upgrade_fixture.h"
#include "upgrade/sequence.h"

namespace {

class RunnerOf final : public DialogRunner {
public:
  explicit RunnerOf(UpgradeWorker& worker) : worker_(worker) {}
  int start(NoticeTarget* target, PortHandle port) override { return worker_.start(target, port); }
  int stop() override { return worker_.stop(); }
  uint32_t answers() const override { return upgrade_answers(firmware_image()); }

private:
  UpgradeWorker& worker_;
};

class DialogRunTest : public UpgradeTest {
protected:
  void SetUp() override {
    ports.next_handle = line.handle();
    dlg.OnInitDialog();
  }

  // Handles notices until the end notice; false if none came in time.
  bool handle_run() {
    Notice n;
    while (queue.wait_pop(n, 20000)) {
      dlg.OnNotice(n);
      if (n.kind == NOTIFY_DONE) return true;
    }
    return false;
  }

  void expect_idle_after_run() {
    EXPECT_TRUE(view.enabled[IDC_UPGRADE]);
    EXPECT_TRUE(view.enabled[IDC_PORT_LIST]);
    EXPECT_EQ(view.text[CANCEL_CLOSE_BUTTON], "Close");
    EXPECT_TRUE(view.enabled[CANCEL_CLOSE_BUTTON]);
    EXPECT_EQ(app.port_handle, 0u);
    EXPECT_EQ(ports.closed, (std::vector<PortHandle>{line.handle()}));
  }

  FakeView view;
  FakePorts ports{{5}};
  RunnerOf runner{worker};
  COrvaLoadApp app;
  COrvaLoadDlg dlg{view, queue, runner, &app, ports};
};

TEST_F(DialogRunTest, AWholeRunEndsIdleWithTheSuccessTextAndAFullBar) {
  dlg.OnUpgradeClicked();
  EXPECT_EQ(ports.opened, (std::vector<std::string>{"\\\\.\\COM5"}));
  ASSERT_TRUE(handle_run());

  expect_idle_after_run();
  EXPECT_EQ(view.text[IDC_STATUS], "Program success, starting application...");
  EXPECT_EQ(view.progress, 1000);
  EXPECT_EQ(view.ended, 0);
  EXPECT_EQ(queue.size(), 0u);
}

TEST_F(DialogRunTest, TheCancelCommandStopsTheRunAndTheEndNoticeRestoresIdle) {
  std::promise<void> running;
  on_write[200] = [&] {
    running.set_value();
    while (worker.cancel == 0) std::this_thread::yield();
  };
  dlg.OnUpgradeClicked();
  ASSERT_EQ(running.get_future().wait_for(std::chrono::seconds(20)), std::future_status::ready);

  dlg.OnCancelClicked(); // returns once the worker's thread has ended
  EXPECT_EQ(worker.exited, 1);
  EXPECT_EQ(app.port_handle, 0u);
  EXPECT_FALSE(view.enabled[IDC_UPGRADE]);
  EXPECT_FALSE(view.enabled[CANCEL_CLOSE_BUTTON]);
  EXPECT_EQ(view.ended, 0);

  ASSERT_TRUE(handle_run());
  expect_idle_after_run(); // the port was closed once, by the cancel
  EXPECT_EQ(view.text[IDC_STATUS], "user canceled transmission, upgrade not complete!\r\n");
  EXPECT_LT(view.progress, 1000);
  EXPECT_LT(line.writes().size(), 220u);

  dlg.OnCancelClicked();
  EXPECT_EQ(view.ended, DIALOG_RESULT_CANCEL);
}

} // namespace
