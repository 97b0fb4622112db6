#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

#include "app/dialog/dialog_trace.h"
#include "app/dialog/orva_load_dlg.h"
#include "tests/app/dialog_fakes.h"

namespace {

TEST(DialogIcon, MinimisedIconIsCentredWithTruncatingDivision) {
  EXPECT_EQ(dialog_icon_origin(32, 32), 0);
  EXPECT_EQ(dialog_icon_origin(160, 32), 64);
  EXPECT_EQ(dialog_icon_origin(161, 32), 65);
  // A client area smaller than the icon: -31 / 2 is -15, not -16.
  EXPECT_EQ(dialog_icon_origin(0, 32), -15);
  EXPECT_EQ(dialog_icon_origin(1, 32), -15);
}

TEST(DialogTrace, WritesEachChangeOnOneLineAndPassesItOn) {
  const std::string path = ::testing::TempDir() + "dialog_trace_test.txt";
  FakeView inner;
  {
    TracingView view(inner, std::fopen(path.c_str(), "w"));
    view.set_text(IDC_STATUS, "two\r\nlines \\ here");
    view.set_enabled(IDC_UPGRADE, false);
    view.set_progress(1000);
    view.set_caption("caption");
    view.port_list_add("Serial Port: COM5");
    view.end_dialog(DIALOG_RESULT_CANCEL);
  }
  EXPECT_EQ(inner.text[IDC_STATUS], "two\r\nlines \\ here");
  EXPECT_FALSE(inner.enabled[IDC_UPGRADE]);
  EXPECT_EQ(inner.progress, 1000);
  EXPECT_EQ(inner.entries.size(), 1u);
  EXPECT_EQ(inner.ended, DIALOG_RESULT_CANCEL);

  std::ifstream in(path);
  std::stringstream all;
  all << in.rdbuf();
  EXPECT_EQ(all.str(), "text 1005 two\\r\\nlines \\\\ here\n"
                       "enabled 1000 0\n"
                       "progress 1000 \n"
                       "caption 0 caption\n"
                       "port 0 Serial Port: COM5\n"
                       "end 2 \n");
  std::remove(path.c_str());
}

} // namespace
