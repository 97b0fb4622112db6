#include <gtest/gtest.h>

#include <string>

#include "app/dialog/orva_load_dlg.h"
#include "notify/notice_queue.h"
#include "tests/app/dialog_fakes.h"

namespace {

const char GREETING[] =
    "Choose serial port connected to ORVA.\r\nActivate Data menu in ORVA and press Upgrade!\r\n"
    "During a run, Escape or closing this window cancels it.";

struct Controls {
  bool upgrade;
  bool port_list;
  const char* cancel_close_text;
  bool cancel_close;
};

class DialogTest : public ::testing::Test {
protected:
  explicit DialogTest(std::set<int> ports = {3, 7}) : ports(std::move(ports)) {}

  void SetUp() override { dlg.OnInitDialog(); }

  // Delivers everything the posters queued, as the window system would.
  void deliver() {
    Notice n;
    while (notices.wait_pop(n, 0)) dlg.OnNotice(n);
  }

  void expect_controls(const Controls& c) {
    EXPECT_EQ(view.enabled[IDC_UPGRADE], c.upgrade);
    EXPECT_EQ(view.enabled[IDC_PORT_LIST], c.port_list);
    EXPECT_EQ(view.text[CANCEL_CLOSE_BUTTON], c.cancel_close_text);
    EXPECT_EQ(view.enabled[CANCEL_CLOSE_BUTTON], c.cancel_close);
  }

  void expect_idle_before_run() { expect_controls({true, true, "Cancel", true}); }
  void expect_running() { expect_controls({false, false, "Cancel", false}); }
  void expect_idle_after_run() { expect_controls({true, true, "Close", true}); }

  FakeView view;
  FakePorts ports;
  FakeRunner runner;
  NoticeQueue notices;
  COrvaLoadApp app;
  COrvaLoadDlg dlg{view, notices, runner, &app, ports};
};

// A firmware file named on the command line; the start-up has loaded it.
class FileImageTest : public DialogTest {
protected:
  FileImageTest() { app.image_name = "rc2.hex"; }
};

class NoPortsTest : public DialogTest {
protected:
  NoPortsTest() : DialogTest({}) {}
};

class AllPortsTest : public DialogTest {
protected:
  AllPortsTest() : DialogTest(all_ports()) {}
  static std::set<int> all_ports() {
    std::set<int> s;
    for (int n = 1; n <= 89; ++n) s.insert(n);
    return s;
  }
};

TEST_F(DialogTest, StartsIdleWithDiscoveredPortsCaptionAndGreeting) {
  EXPECT_TRUE(view.icons_set);
  EXPECT_EQ(view.entries, (std::vector<std::string>{"Serial Port: COM3", "Serial Port: COM7"}));
  EXPECT_EQ(view.data, (std::vector<intptr_t>{3, 7}));
  EXPECT_EQ(view.selection, 0);
  EXPECT_EQ(view.range_low, 0);
  EXPECT_EQ(view.range_high, 1000);
  EXPECT_EQ(view.progress, 0);
  EXPECT_EQ(view.window_caption, "Vendral ORVA Upgrader version 2.00");
  EXPECT_EQ(view.text[IDC_STATUS], GREETING);
  expect_idle_before_run();
  EXPECT_EQ(app.port_handle, 0u);
  EXPECT_TRUE(ports.opened.empty());
}

TEST_F(FileImageTest, CaptionNamesTheFileAfterTheVersion) {
  EXPECT_EQ(view.window_caption, "Vendral ORVA Upgrader version 2.00 - rc2.hex");
  EXPECT_EQ(view.text[IDC_STATUS], GREETING);
}

TEST_F(AllPortsTest, ListsEveryPortInOrder) {
  EXPECT_EQ(ports.lists, 1);
  ASSERT_EQ(view.entries.size(), 89u);
  EXPECT_EQ(view.entries[11], "Serial Port: COM12");
  EXPECT_EQ(view.entries.back(), "Serial Port: COM89");
  EXPECT_EQ(view.data.back(), 89);
}

TEST_F(DialogTest, UpgradeOpensTheSelectedEntrysPortAndStartsTheWorker) {
  view.port_list_select(1);
  dlg.OnUpgradeClicked();

  EXPECT_EQ(ports.opened, (std::vector<std::string>{"\\\\.\\COM7"}));
  expect_running();
  EXPECT_EQ(app.port_handle, 0x1000u);
  ASSERT_EQ(runner.starts.size(), 1u);
  EXPECT_EQ(runner.starts[0].target, &notices);
  EXPECT_EQ(runner.starts[0].port, 0x1000u);
  // The run's own notices reset the status box and the bar, not the dialog.
  EXPECT_EQ(view.text[IDC_STATUS], GREETING);
}

TEST_F(NoPortsTest, UpgradeWithNothingSelectedFailsAndStaysIdle) {
  EXPECT_TRUE(view.entries.empty());
  EXPECT_EQ(view.selection, -1);
  ports.fail_open = true;

  dlg.OnUpgradeClicked();

  EXPECT_EQ(ports.opened, (std::vector<std::string>{"\\\\.\\COM-1"}));
  EXPECT_EQ(view.text[IDC_STATUS], "serial port open failed!\r\n");
  expect_idle_before_run();
  EXPECT_TRUE(view.enabled[IDC_STATUS]);
  EXPECT_EQ(app.port_handle, 0u);
  EXPECT_TRUE(runner.starts.empty());

  dlg.OnCancelClicked();
  EXPECT_EQ(view.ended, DIALOG_RESULT_CANCEL);
  EXPECT_EQ(runner.stops, 0);
}

TEST_F(DialogTest, FailedOpenShowsTheHintAfterTheOpensText) {
  ports.fail_open = true;
  ports.hint_text = "COM3 is /dev/ttyS2, which is busy, held by minicom (pid 42)";
  dlg.OnUpgradeClicked();
  EXPECT_EQ(
      view.text[IDC_STATUS],
      "serial port open failed!\r\nCOM3 is /dev/ttyS2, which is busy, held by minicom (pid 42)");
  EXPECT_EQ(ports.opened, (std::vector<std::string>{"\\\\.\\COM3"}));
  expect_idle_before_run();
}

// An FTDI adapter whose latency timer slows every answer gets one line under
// the greeting while it is selected and no run has spoken; other ports leave
// the status box alone, and a run's texts are never joined by the hint.
TEST_F(DialogTest, ASlowFtdiAdapterShowsItsLatencyHintOnlyWhileIdle) {
  const std::string hint =
      "COM7: the FTDI adapter's latency timer is 16 ms, which can make the upgrade up to 13 s "
      "longer; set it to 1 ms in Device Manager: the port's Properties, Port Settings, Advanced, "
      "Latency Timer";
  ports.usb[7] = {"0403", "6001", "FTDI", "FT232R USB UART", "A50285BI", 16};
  dlg.OnPortsChanged(); // the adapter's timer became known; COM3 stays selected
  EXPECT_EQ(view.text[IDC_STATUS], GREETING);

  view.port_list_select(1);
  dlg.OnPortSelected();
  EXPECT_EQ(view.text[IDC_STATUS], std::string(GREETING) + "\r\n" + hint);
  view.port_list_select(0);
  dlg.OnPortSelected();
  EXPECT_EQ(view.text[IDC_STATUS], GREETING);

  view.port_list_select(1);
  dlg.OnPortSelected();
  dlg.OnUpgradeClicked();
  notify_text(&notices, "Erase address 00004000h 16384 bytes");
  notify_done(&notices, 0);
  deliver();
  dlg.OnPortsChanged();
  EXPECT_EQ(view.text[IDC_STATUS], "Erase address 00004000h 16384 bytes");
}

// Ports that come and go while the dialog is idle show up at once; the
// selected port stays selected while it is there. A run's list stays as it
// was until the run has ended.
TEST_F(DialogTest, PortListFollowsPortsWhileIdleKeepingTheSelection) {
  struct Step {
    std::set<int> present;
    bool running;
    std::vector<std::string> shown;
    int selection;
  };
  view.port_list_select(1); // COM7
  const Step steps[] = {
      {{3, 5, 7}, false, {"Serial Port: COM3", "Serial Port: COM5", "Serial Port: COM7"}, 2},
      {{3, 5}, false, {"Serial Port: COM3", "Serial Port: COM5"}, 0}, // COM7 gone: the first
      {{5}, false, {"Serial Port: COM5"}, 0},
      {{}, false, {}, -1},
      {{9}, false, {"Serial Port: COM9"}, 0},
      {{9, 12}, true, {"Serial Port: COM9"}, 0}, // a run: nothing changes
      {{12}, true, {"Serial Port: COM9"}, 0},
  };
  for (const Step& step : steps) {
    if (step.running && app.port_handle == 0) dlg.OnUpgradeClicked();
    ports.set_present(step.present);
    dlg.OnPortsChanged();
    EXPECT_EQ(view.entries, step.shown);
    EXPECT_EQ(view.selection, step.selection);
  }
  EXPECT_EQ(view.enabled[IDC_PORT_LIST], false);
  notify_done(&notices, 0);
  deliver(); // the change seen during the run applies now
  EXPECT_EQ(view.entries, (std::vector<std::string>{"Serial Port: COM12"}));
  EXPECT_EQ(view.data, (std::vector<intptr_t>{12}));
  EXPECT_EQ(view.selection, 0);
  expect_idle_after_run();

  const int clears = view.clears;
  dlg.OnPortsChanged(); // nothing new: the list is left alone
  EXPECT_EQ(view.clears, clears);
}

TEST_F(DialogTest, SecondButtonEndsTheDialogWhenNoPortIsHeld) {
  dlg.OnCancelClicked();
  EXPECT_EQ(view.ended, DIALOG_RESULT_CANCEL);
  EXPECT_EQ(runner.stops, 0);
  EXPECT_TRUE(ports.closed.empty());
}

TEST_F(DialogTest, DoneNoticeRestoresIdleAndClosesThePort) {
  dlg.OnUpgradeClicked();
  notify_progress(&notices, 0);
  notify_text(&notices, "Erase address 00004000h");
  notify_progress(&notices, 1000);
  notify_text(&notices, "Program success, starting application...");
  notify_done(&notices, 0);
  deliver();

  expect_idle_after_run();
  EXPECT_EQ(ports.closed, (std::vector<PortHandle>{0x1000}));
  EXPECT_EQ(app.port_handle, 0u);
  EXPECT_EQ(view.text[IDC_STATUS], "Program success, starting application...");
  EXPECT_EQ(view.progress, 1000);
  EXPECT_EQ(view.ended, 0);

  dlg.OnCancelClicked();
  EXPECT_EQ(view.ended, DIALOG_RESULT_CANCEL);
}

TEST_F(DialogTest, FailedRunAlsoEndsWithCloseAndAnotherRunMayFollow) {
  view.port_list_select(1);
  dlg.OnUpgradeClicked();
  notify_progress(&notices, 0);
  notify_text_code(&notices, "Timeout!\r\n", 1);
  notify_done(&notices, 0);
  deliver();
  expect_idle_after_run();
  EXPECT_EQ(view.text[IDC_STATUS], "Timeout!\r\n");

  dlg.OnUpgradeClicked();
  expect_running();
  EXPECT_EQ(ports.opened, (std::vector<std::string>{"\\\\.\\COM7", "\\\\.\\COM7"}));
  EXPECT_EQ(app.port_handle, 0x1001u);
  ASSERT_EQ(runner.starts.size(), 2u);
  EXPECT_EQ(runner.starts[1].port, 0x1001u);

  notify_done(&notices, 0);
  deliver();
  expect_idle_after_run();
  EXPECT_EQ(ports.closed, (std::vector<PortHandle>{0x1000, 0x1001}));
}

TEST_F(DialogTest, CancelCommandDuringARunStopsClosesAndWaitsForTheDoneNotice) {
  dlg.OnUpgradeClicked();
  notify_text(&notices, "Program address 00004000h 256 bytes");
  deliver();

  dlg.OnCancelClicked();
  EXPECT_EQ(runner.stops, 1);
  EXPECT_EQ(ports.closed, (std::vector<PortHandle>{0x1000}));
  EXPECT_EQ(app.port_handle, 0u);
  EXPECT_EQ(view.ended, 0);
  expect_running(); // cancelled, done notice pending

  notify_done(&notices, 0);
  deliver();
  expect_idle_after_run();
  EXPECT_EQ(ports.closed.size(), 1u);
  EXPECT_EQ(ports.refused_closes, 1);
  EXPECT_EQ(app.port_handle, 0u);
  EXPECT_EQ(view.ended, 0);
}

TEST_F(DialogTest, TextNoticesReplaceTheStatusBox) {
  notify_text(&notices, "first");
  notify_text(&notices, "second");
  deliver();
  EXPECT_EQ(view.text[IDC_STATUS], "second");

  notify_text(&notices, nullptr);
  deliver();
  EXPECT_EQ(view.text[IDC_STATUS], "");

  // The code travels with the text but is shown nowhere.
  notify_text_code(&notices, "Device error\r\n", -5);
  deliver();
  EXPECT_EQ(view.text[IDC_STATUS], "Device error\r\n");
}

TEST_F(DialogTest, OldTextKindActsAsText) {
  auto* notice = new TextNotice{};
  std::snprintf(notice->text, sizeof notice->text, "%s", "old kind");
  dlg.OnUpgradeNotify(NOTIFY_TEXT_OLD, notice);
  EXPECT_EQ(view.text[IDC_STATUS], "old kind");
}

TEST_F(DialogTest, ProgressNoticesMoveTheBar) {
  notify_progress(&notices, 1000);
  deliver();
  EXPECT_EQ(view.progress, 1000);
  notify_progress(&notices, 0);
  deliver();
  EXPECT_EQ(view.progress, 0);
}

TEST_F(DialogTest, UnknownKindsAndMissingPayloadsChangeNothing) {
  dlg.OnUpgradeClicked();
  // A payload on the stack: freeing it, or reading it as a notice, would
  // show up under the sanitizers.
  int32_t value = 7;
  for (uint32_t kind : {0u, 6u, 1324u}) EXPECT_EQ(dlg.OnUpgradeNotify(kind, &value), 0);
  for (uint32_t kind : {1u, 2u, 3u, 4u}) EXPECT_EQ(dlg.OnUpgradeNotify(kind, nullptr), 0);

  expect_running();
  EXPECT_EQ(view.text[IDC_STATUS], GREETING);
  EXPECT_EQ(view.progress, 0);
  EXPECT_TRUE(ports.closed.empty());
  EXPECT_EQ(value, 7);
}

TEST(DialogWithoutApplication, UpgradeDoesNothingAndTheSecondButtonEnds) {
  FakeView view;
  FakePorts ports({4});
  FakeRunner runner;
  NoticeQueue notices;
  COrvaLoadDlg dlg{view, notices, runner, nullptr, ports};
  dlg.OnInitDialog();

  dlg.OnUpgradeClicked();
  EXPECT_TRUE(ports.opened.empty());
  EXPECT_TRUE(runner.starts.empty());
  EXPECT_TRUE(view.enabled[IDC_UPGRADE]);

  dlg.OnCancelClicked();
  EXPECT_EQ(view.ended, DIALOG_RESULT_CANCEL);
}

} // namespace
