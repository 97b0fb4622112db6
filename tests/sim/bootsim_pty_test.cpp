// orva-bootsim as a program: served over its pseudo-terminal, stopped by a
// signal or by the end of a run, and leaving nothing behind.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "sim_test_util.h"
#include "tests/support/bootsim_process.h"

namespace {

using Clock = std::chrono::steady_clock;

// The simulator with a host's end of its terminal, for frames written by hand.
class Bootsim : public BootsimProcess {
public:
  explicit Bootsim(std::vector<std::string> args) {
    args.push_back("--report");
    args.push_back(report_path());
    EXPECT_TRUE(start(args, 5.0));
  }

  ~Bootsim() {
    if (fd_ >= 0) {
      close(fd_);
    }
  }

  bool open_line() {
    if (fd_ >= 0) {
      close(fd_);
    }
    fd_ = open(path().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    return fd_ >= 0;
  }
  void close_line() {
    close(fd_);
    fd_ = -1;
  }

  // Writes a request and collects `expect` bytes of answer, or what came
  // within the time limit.
  Bytes ask(const Bytes& request, size_t expect, int limit_ms = 2000) {
    send(request);
    return collect(expect, limit_ms);
  }
  void send(const Bytes& request) {
    EXPECT_EQ(write(fd_, request.data(), request.size()), static_cast<ssize_t>(request.size()));
  }

  Bytes collect(size_t expect, int limit_ms) {
    Bytes got;
    const auto deadline = Clock::now() + std::chrono::milliseconds(limit_ms);
    while (got.size() < expect && Clock::now() < deadline) {
      pollfd p{fd_, POLLIN, 0};
      if (poll(&p, 1, 20) > 0 && (p.revents & POLLIN)) {
        uint8_t buffer[512];
        const ssize_t n = read(fd_, buffer, sizeof buffer);
        if (n <= 0) {
          break;
        }
        got.insert(got.end(), buffer, buffer + n);
      }
    }
    return got;
  }

private:
  int fd_ = -1;
};

const Bytes ACK_1 = hex_bytes("02 01 06 00 02 01 00 04 03");

TEST(BootsimProgram, ServesClientsOneAfterAnotherAndStopsOnSigterm) {
  Bootsim sim({"--link-com", "7"});
  ASSERT_EQ(sim.path().rfind("/dev/pts/", 0), 0u) << sim.path();
  char target[256] = {};
  ASSERT_GT(readlink(sim.link_path(7).c_str(), target, sizeof target - 1), 0);
  EXPECT_EQ(sim.path(), target);

  HostFrames h;
  ASSERT_TRUE(sim.open_line());
  EXPECT_EQ(sim.ask(h.progress(1, 0), 9), ACK_1);
  // The host goes away before reading the erase's answer; the next one must
  // not find it waiting.
  sim.send(h.erase(1, 0x4000, 0x4000));
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  sim.close_line();
  std::this_thread::sleep_for(std::chrono::milliseconds(150));
  ASSERT_TRUE(sim.open_line());
  EXPECT_TRUE(sim.collect(1, 200).empty());
  EXPECT_EQ(sim.ask(h.program(2, 0x4000, {0x5A}), 9), hex_bytes("02 02 06 00 02 02 00 04 03"));

  sim.signal(SIGTERM);
  EXPECT_EQ(sim.wait_exit(std::chrono::seconds(5)), 0);
  struct stat st {};
  EXPECT_NE(lstat(sim.link_path(7).c_str(), &st), 0);
  const std::string report = sim.report();
  EXPECT_NE(report.find("\"end\": \"signal\""), std::string::npos) << report;
  EXPECT_NE(report.find("\"requests\": 3"), std::string::npos) << report;
}

TEST(BootsimProgram, EndsByItselfOnceTheJumpIsAnswered) {
  const std::string turnaround_path =
      ::testing::TempDir() + "orva-turnaround-" + std::to_string(getpid()) + ".txt";
  Bootsim sim({"--quiet-ms", "100", "--erase-ms", "200", "--turnaround", turnaround_path});
  HostFrames h;
  ASSERT_TRUE(sim.open_line());
  EXPECT_EQ(sim.ask(h.progress(1, 0), 9), ACK_1);
  const auto start = Clock::now();
  EXPECT_EQ(sim.ask(h.erase(1, 0x4000, 0x4000), 9), ACK_1);
  EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(190)); // the erase time
  EXPECT_EQ(sim.ask(h.jump(2, 0x4000), 9), hex_bytes("02 02 06 00 02 02 00 04 03"));
  EXPECT_EQ(sim.wait_exit(std::chrono::seconds(5)), 0);
  EXPECT_NE(sim.report().find("\"end\": \"jump\""), std::string::npos);
  // The erase and the jump each came after an answer; the first request did not.
  std::ifstream turnaround(turnaround_path);
  std::vector<long> gaps;
  for (long us = 0; turnaround >> us;) {
    gaps.push_back(us);
  }
  EXPECT_EQ(gaps.size(), 2u);
  std::remove(turnaround_path.c_str());
}

TEST(BootsimProgram, DropsTheLineAtTheCloseFault) {
  Bootsim sim({"--close-at", "2"});
  HostFrames h;
  ASSERT_TRUE(sim.open_line());
  EXPECT_EQ(sim.ask(h.progress(1, 0), 9), ACK_1);
  EXPECT_TRUE(sim.ask(h.erase(1, 0x4000, 0x4000), 1, 500).empty());
  EXPECT_EQ(sim.wait_exit(std::chrono::seconds(5)), 0);
  EXPECT_NE(sim.report().find("\"end\": \"closed\""), std::string::npos);
}

TEST(BootsimProgram, RefusesBadUsage) {
  Bootsim sim({"--refuse", "nonsense"});
  EXPECT_TRUE(sim.path().empty());
  EXPECT_EQ(sim.wait_exit(std::chrono::seconds(5)), 2);
}

} // namespace
