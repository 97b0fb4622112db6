// Who holds a port, against a made-up /proc: process folders with descriptor
// links to /dev/null (a character device) and command names.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "serial/port_holders.h"

namespace fs = std::filesystem;

namespace {

class FakeProc : public ::testing::Test {
protected:
  void SetUp() override {
    char pattern[] = "/tmp/orva-proc-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    root_ = pattern;
    struct stat st;
    ASSERT_EQ(stat("/dev/null", &st), 0);
    null_ = st.st_rdev;
  }
  void TearDown() override { fs::remove_all(root_); }

  void process(long pid, const char* name, const char* fd_target) {
    const fs::path folder = root_ / std::to_string(pid);
    fs::create_directories(folder / "fd");
    std::ofstream(folder / "comm") << name << "\n";
    fs::create_symlink("/proc/self/exe", folder / "fd/0");  // a file, not the device
    if (fd_target) fs::create_symlink(fd_target, folder / "fd/7");
  }

  fs::path root_;
  dev_t null_ = 0;
};

}  // namespace

TEST_F(FakeProc, FindsTheOtherProcessesWithTheDeviceOpen) {
  process(101, "minicom", "/dev/null");
  process(202, "bash", nullptr);
  process(getpid(), "orvaload-cli", "/dev/null");  // this process does not count
  fs::create_directories(root_ / "self/fd");
  fs::create_symlink("/dev/null", root_ / "self/fd/3");

  const std::vector<PortHolder> holders = port_holders(root_.c_str(), null_);
  ASSERT_EQ(holders.size(), 1u);
  EXPECT_EQ(holders[0].pid, 101);
  EXPECT_EQ(holders[0].name, "minicom");
  EXPECT_TRUE(port_holders((root_ / "missing").c_str(), null_).empty());
}

TEST(PortHolders, KnownGrabbersComeWithTheirFix) {
  EXPECT_EQ(holders_text({}), "");
  EXPECT_EQ(holders_text({{42, "minicom"}}), "held by minicom (pid 42)");
  const std::string modem = holders_text({{7, "ModemManager"}, {8, "screen"}});
  EXPECT_EQ(modem.rfind("held by ModemManager (pid 7), screen (pid 8); ModemManager ", 0), 0u)
      << modem;
  EXPECT_NE(modem.find("systemctl stop ModemManager"), std::string::npos);
  EXPECT_NE(modem.find("ID_MM_DEVICE_IGNORE"), std::string::npos);
  const std::string braille = holders_text({{9, "brltty"}});
  EXPECT_NE(braille.find("apt remove brltty"), std::string::npos) << braille;
  EXPECT_EQ(braille.find("ModemManager"), std::string::npos);
}
