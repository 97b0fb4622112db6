// orvaload-cli as a script sees it: a whole process against orva-bootsim on
// a pseudo-terminal, judged by its output and exit status.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/bootsim_process.h"
#include "tests/support/child_process.h"
#include "upgrade/firmware.h"

namespace {

constexpr double kSimStartS = 10.0;
constexpr double kRunS = 60.0;

// The simulator's private folder holds the port links and the report, and
// serves as every program's configuration folder, so tests run side by side.
class CliProcess : public ::testing::Test {
protected:
  void SetUp() override {
    ASSERT_FALSE(sim_.dir().empty());
    env_ = {"XDG_CONFIG_HOME=" + sim_.dir()};
  }
  void TearDown() override { EXPECT_TRUE(sim_.clean_up()); }

  // Starts the simulator linked as COM7; returns its device path.
  std::string start_sim(std::vector<std::string> extra = {}) {
    std::vector<std::string> args{"--image", ORVA_FIRMWARE_FILE, "--report", sim_.report_path(),
                                  "--link-com", "7"};
    args.insert(args.end(), extra.begin(), extra.end());
    EXPECT_TRUE(sim_.start(args, kSimStartS));
    EXPECT_FALSE(sim_.path().empty()) << "orva-bootsim named no terminal";
    // The link appears with the path; give the simulator a moment if not.
    std::string link = sim_.link_path(7);
    for (int i = 0; i < 200 && access(link.c_str(), F_OK) != 0; ++i) usleep(10000);
    return sim_.path();
  }

  int run_cli(ChildProcess& cli, std::vector<std::string> args, double timeout_s = kRunS) {
    args.insert(args.begin(), ORVALOAD_CLI);
    EXPECT_TRUE(cli.start(args, env_));
    return cli.finish(timeout_s);
  }

  std::string report() {
    sim_.signal(SIGTERM);
    sim_.wait_exit(std::chrono::seconds(10));
    return sim_.report();
  }

  std::vector<std::string> env_;
  BootsimProcess sim_;
};

// Every text a clean run of the built-in image shows, in order.
std::string clean_run_output() {
  const FirmwareImage& image = firmware_image();
  std::string out;
  char line[128];
  uint32_t end = image.load_address + image.size + 255;
  for (uint32_t address = image.load_address; address < end; address += 16384) {
    std::snprintf(line, sizeof line, "Erase address %08xh %d bytes\n", address, 16384);
    out += line;
  }
  for (uint32_t offset = 0; offset < image.size; offset += 256) {
    uint32_t n = image.size - offset < 256 ? image.size - offset : 256;
    std::snprintf(line, sizeof line, "Program address %08xh %u bytes\n", image.load_address + offset,
                  n);
    out += line;
  }
  return out + "Program success, starting application...\n";
}

std::string last_line(const std::string& text) {
  if (text.empty()) return "";
  size_t end = text.size() - (text.back() == '\n' ? 1 : 0);
  size_t start = text.rfind('\n', end - 1);
  return text.substr(start == std::string::npos ? 0 : start + 1, end - (start == std::string::npos ? 0 : start + 1));
}

} // namespace

TEST_F(CliProcess, CleanRunPrintsEveryTextAndExitsZero) {
  start_sim();
  ChildProcess cli;
  EXPECT_EQ(run_cli(cli, {"--port", "COM7"}), 0) << cli.err();
  EXPECT_EQ(cli.out(), clean_run_output());
  EXPECT_EQ(cli.err(), "") << "standard error is no terminal here";
  std::string json = report();
  EXPECT_NE(json.find("\"matches\": true"), std::string::npos) << json.substr(0, 600);
}

TEST_F(CliProcess, ProgressLineGoesToATerminalOnStandardError) {
  int terminal = posix_openpt(O_RDWR | O_NOCTTY);
  ASSERT_GE(terminal, 0);
  ASSERT_EQ(grantpt(terminal), 0);
  ASSERT_EQ(unlockpt(terminal), 0);
  std::string device = ptsname(terminal);
  std::string screen;
  std::atomic<bool> stop{false};
  // The terminal is drained all along, as a real one would be.
  std::thread reader([&] {
    char buffer[4096];
    while (!stop) {
      pollfd fd{terminal, POLLIN, 0};
      if (poll(&fd, 1, 50) <= 0) continue;
      ssize_t got = read(terminal, buffer, sizeof buffer);
      if (got <= 0) break;
      screen.append(buffer, static_cast<size_t>(got));
    }
  });

  start_sim();
  ChildProcess cli;
  ASSERT_TRUE(cli.start({ORVALOAD_CLI, "--port", "COM7"}, env_, device));
  EXPECT_EQ(cli.finish(kRunS), 0);
  stop = true;
  reader.join();
  close(terminal);

  EXPECT_EQ(cli.out(), clean_run_output()) << "standard output is the same with a terminal beside it";
  EXPECT_NE(screen.find("\r[##"), std::string::npos) << "the line redraws itself in place";
  EXPECT_NE(screen.find("] 100.0% 180036/180036 bytes"), std::string::npos) << screen.substr(0, 400);
  EXPECT_EQ(screen.find("Program address"), std::string::npos) << "texts stay on standard output";
}

TEST_F(CliProcess, DeviceErrorEndsTheRunWithItsTextAndStatusOne) {
  std::string path = start_sim({"--device-error", "20:7"});
  ChildProcess cli;
  EXPECT_EQ(run_cli(cli, {"--port", path}), 1);
  EXPECT_NE(cli.out().find("\nORVA had an internal error(7)!\nMessage id "), std::string::npos)
      << cli.out();
  EXPECT_EQ(cli.out().find("Program success"), std::string::npos);
  EXPECT_EQ(cli.out().find("Program address"), std::string::npos) << "erasing failed";
  EXPECT_EQ(cli.err(), "");
}

TEST_F(CliProcess, SilentControllerTimesOut) {
  start_sim({"--silent-from", "40"});
  ChildProcess cli;
  EXPECT_EQ(run_cli(cli, {"--port", "COM7"}), 1);
  EXPECT_EQ(last_line(cli.out()), "serial port timeout during transmission, error!");
}

TEST_F(CliProcess, InterruptCancelsLikeTheDialog) {
  // Paced like the real line, so the run is still going when the signal comes.
  start_sim({"--baud", "115200"});
  ChildProcess cli;
  ASSERT_TRUE(cli.start({ORVALOAD_CLI, "--port", "COM7"}, env_));
  ASSERT_TRUE(cli.wait_for_output("Program address 00008000h", kRunS)) << cli.out() << cli.err();
  cli.send_signal(SIGINT);
  EXPECT_EQ(cli.finish(kRunS), 1);
  EXPECT_EQ(last_line(cli.out()), "user canceled transmission, upgrade not complete!");
  EXPECT_EQ(cli.err(), "");
  std::string json = report();
  EXPECT_NE(json.find("\"received\": false"), std::string::npos) << "no jump after a cancel";
}

TEST_F(CliProcess, ListShowsALinkedPort) {
  std::string path = start_sim();
  ChildProcess cli;
  EXPECT_EQ(run_cli(cli, {"--list"}), 0);
  EXPECT_NE(cli.out().find("COM7\t" + path + "\n"), std::string::npos) << cli.out();
}

TEST_F(CliProcess, MissingPortExitsThreeWithAHint) {
  ChildProcess cli;
  EXPECT_EQ(run_cli(cli, {"--port", "/dev/orva-no-such-port"}), 3);
  EXPECT_EQ(cli.out(), "");
  EXPECT_EQ(cli.err().rfind("serial port open failed!\n", 0), 0u) << cli.err();
  EXPECT_NE(cli.err().find("/dev/orva-no-such-port"), std::string::npos) << cli.err();
}

TEST_F(CliProcess, UsageAndVersion) {
  ChildProcess bad;
  EXPECT_EQ(run_cli(bad, {"--port"}), 2);
  EXPECT_NE(bad.err(), "");
  ChildProcess none;
  EXPECT_EQ(run_cli(none, {}), 2);
  ChildProcess version;
  EXPECT_EQ(run_cli(version, {"--version"}), 0);
  EXPECT_EQ(version.out(), "2.00\n");
}
