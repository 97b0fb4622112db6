// COM names and port discovery on Linux, against a made-up machine: device
// nodes (links to /dev/null, a character device), sysfs port types and a
// port-link folder in a temporary folder.
#include <gtest/gtest.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "serial/device_names.h"
#include "serial/device_open.h"

namespace fs = std::filesystem;

namespace {

class FakeMachine : public ::testing::Test {
protected:
  void SetUp() override {
    char pattern[] = "/tmp/orva-names-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    root_ = pattern;
    fs::create_directories(root_ / "dev");
    fs::create_directories(root_ / "sys/class/tty");
    fs::create_directories(root_ / "links");
  }
  void TearDown() override { fs::remove_all(root_); }

  void device(const char* node) { fs::create_symlink("/dev/null", root_ / "dev" / node); }
  void uart(const char* node, int type) {
    fs::create_directories(root_ / "sys/class/tty" / node);
    std::ofstream(root_ / "sys/class/tty" / node / "type") << type << "\n";
  }
  void link(int number, const fs::path& target) {
    fs::create_symlink(target, root_ / "links" / ("com" + std::to_string(number)));
  }
  DeviceRoots roots() {
    dev_ = (root_ / "dev").string();
    sys_ = (root_ / "sys").string();
    links_ = (root_ / "links").string();
    return {dev_.c_str(), sys_.c_str(), links_.c_str()};
  }
  std::string resolve(const char* name, size_t size = 512) {
    char path[512];
    return device_resolve(roots(), name, path, size) ? path : "(none)";
  }

  fs::path root_;
  std::string dev_, sys_, links_;
};

} // namespace

TEST_F(FakeMachine, ListsExactlyThePortsWithADeviceBehind) {
  device("ttyS0");
  uart("ttyS0", 4);
  device("ttyS1");
  uart("ttyS1", 0); // a legacy node without a UART
  device("ttyS2");  // no sysfs entry: nothing known about it
  device("ttyUSB0");
  device("ttyUSB31");
  device("ttyACM24");
  device("ttyACM25"); // would be COM90
  std::ofstream(root_ / "dev/ttyUSB5") << "a file, not a device";
  link(3, root_ / "dev/ttyUSB0"); // wins over ttyS2
  link(7, root_ / "dev/gone");
  link(12, root_ / "dev/ttyUSB5");
  link(90, "/dev/null");

  std::vector<int> listed;
  for (int number = -1; number <= 300; ++number) {
    if (device_exists(roots(), number)) listed.push_back(number);
  }
  EXPECT_EQ(listed, (std::vector<int>{1, 3, 33, 64, 89}));
}

TEST_F(FakeMachine, TableMapsNumberRangesToDeviceFamilies) {
  const std::string dev = (root_ / "dev").string();
  EXPECT_EQ(resolve("COM1"), dev + "/ttyS0");
  EXPECT_EQ(resolve("\\\\.\\COM32"), dev + "/ttyS31");
  EXPECT_EQ(resolve("com33"), dev + "/ttyUSB0");
  EXPECT_EQ(resolve("COM64"), dev + "/ttyUSB31");
  EXPECT_EQ(resolve("COM65"), dev + "/ttyACM0");
  EXPECT_EQ(resolve("COM89"), dev + "/ttyACM24");
  EXPECT_EQ(resolve("COM90"), "(none)");
}

TEST_F(FakeMachine, LinkWinsAndADanglingOneDoesNotFallBack) {
  device("ttyUSB0");
  link(5, root_ / "dev/ttyUSB0");
  link(1, root_ / "dev/gone");
  link(120, "/dev/null");
  EXPECT_EQ(resolve("COM5"), "/dev/null");
  EXPECT_EQ(resolve("COM1"), (root_ / "links/com1").string());
  EXPECT_EQ(resolve("\\\\.\\COM120"), "/dev/null");
}

TEST_F(FakeMachine, PathsPassAndNonNamesFail) {
  EXPECT_EQ(resolve("/dev/ttyUSB7"), "/dev/ttyUSB7");
  EXPECT_EQ(resolve("ttyUSB0"), "(none)");
  EXPECT_EQ(resolve(""), "(none)");
  EXPECT_EQ(resolve(("/" + std::string(299, 'x')).c_str()), "(none)");
  EXPECT_EQ(resolve("/dev/ttyUSB7", 12), "(none)"); // does not fit
  EXPECT_EQ(resolve(nullptr), "(none)");
}

TEST(DeviceRoots, LinkFolderFollowsTheConfigHome) {
  const char* saved_config = std::getenv("XDG_CONFIG_HOME");
  const char* saved_home = std::getenv("HOME");
  const std::string config = saved_config ? saved_config : "", home = saved_home ? saved_home : "";
  char buffer[512];

  setenv("XDG_CONFIG_HOME", "/cfg", 1);
  EXPECT_STREQ(device_roots(buffer, sizeof buffer).links, "/cfg/orvaload/dosdevices");
  setenv("XDG_CONFIG_HOME", "relative", 1);
  setenv("HOME", "/home/tech", 1);
  EXPECT_STREQ(device_roots(buffer, sizeof buffer).links, "/home/tech/.config/orvaload/dosdevices");
  unsetenv("XDG_CONFIG_HOME");
  unsetenv("HOME");
  EXPECT_EQ(device_roots(buffer, sizeof buffer).links, nullptr);
  EXPECT_STREQ(device_roots(buffer, sizeof buffer).dev, "/dev");

  if (saved_config) setenv("XDG_CONFIG_HOME", config.c_str(), 1);
  if (saved_home) setenv("HOME", home.c_str(), 1);
}

// Which devices may be opened as a port is decided before any open: opening
// some character devices has effects of its own (a watchdog arms itself).
TEST_F(FakeMachine, OnlySerialTerminalsMayBeOpenedWithOrWithoutSysfs) {
  struct Case {
    unsigned major, minor;
    const char* subsystem; // the class sysfs files the device under
    bool without_sysfs, with_sysfs;
  };
  const Case cases[] = {
      {10, 130, "misc", false, false}, // a watchdog
      {1, 3, "mem", false, false},     // /dev/null
      {5, 0, "tty", false, false},     // /dev/tty
      {5, 2, "tty", false, false},     // /dev/ptmx
      {4, 1, "tty", false, false},     // a virtual console
      {136, 4, "tty", true, true},     // a pseudo-terminal slave
      {4, 64, "tty", true, true},      // ttyS0
      {188, 0, "tty", true, true},     // ttyUSB0
      {166, 3, "tty", true, true},     // ttyACM3
      {204, 64, "tty", true, true},    // ttyAMA0
      {250, 0, "tty", false, true},    // a serial driver with a dynamic major
      {251, 0, "misc", false, false},  // another driver's dynamic major
      {188, 1, "misc", true, false},   // sysfs knows better than the major
  };
  const std::string sys = (root_ / "sys").string();
  for (const Case& c : cases) {
    EXPECT_EQ(device_may_be_port(sys.c_str(), makedev(c.major, c.minor)), c.without_sysfs)
        << c.major << ":" << c.minor << " without sysfs";
  }
  for (const Case& c : cases) {
    const fs::path entry =
        root_ / "sys/dev/char" / (std::to_string(c.major) + ":" + std::to_string(c.minor));
    fs::create_directories(entry);
    fs::create_directories(root_ / "sys/class" / c.subsystem);
    fs::create_symlink(root_ / "sys/class" / c.subsystem, entry / "subsystem");
  }
  for (const Case& c : cases) {
    EXPECT_EQ(device_may_be_port(sys.c_str(), makedev(c.major, c.minor)), c.with_sysfs)
        << c.major << ":" << c.minor << " with sysfs";
  }
}
