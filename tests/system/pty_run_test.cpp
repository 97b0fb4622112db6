// Whole runs through the worker over a pseudo-terminal: serial_open on the
// terminal that orva-bootsim serves, as the dialog and the CLI do it.
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "serial/serial.h"
#include "tests/support/bootsim_process.h"
#include "tests/upgrade/run_checks.h"

namespace {

using Clock = std::chrono::steady_clock;

// orva-bootsim serving one terminal until a run has jumped (or it is
// killed), then writing its report.
class Bootsim : public BootsimProcess {
public:
  explicit Bootsim(const std::vector<std::string>& extra) {
    std::vector<std::string> args{"--image",    FIRMWARE_FILE, "--report",       report_path(),
                                  "--quiet-ms", "100",         "--idle-timeout", "30"};
    args.insert(args.end(), extra.begin(), extra.end());
    if (!start(args, 10.0)) {
      ADD_FAILURE() << "cannot start orva-bootsim";
    }
  }
};

// A late answer to the last request of a failed run waits in the terminal
// for the next client (a real port drops it on close). Discards input until
// the line has been quiet for a moment.
void discard_unread(const std::string& path) {
  const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  ASSERT_GE(fd, 0);
  for (int round = 0; round < 20; ++round) {
    tcflush(fd, TCIFLUSH);
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 200) <= 0) {
      break;
    }
  }
  close(fd);
}

class PtyRunTest : public ::testing::Test {
protected:
  // Opens the terminal as the dialog opens a port, runs the worker once over
  // it and closes it again after the end notice.
  std::vector<Notice> run(const Bootsim& sim, double* seconds = nullptr) {
    PortHandle handle = 0;
    char message[SERIAL_MESSAGE_SIZE] = "";
    EXPECT_EQ(serial_open(sim.path().c_str(), &handle, message), 0) << message;
    if (handle == 0) {
      return {};
    }
    recorder = std::make_unique<RecordingPort>(port_from_handle(handle));
    const auto began = Clock::now();
    worker.start(&queue, recorder->handle());
    std::vector<Notice> seen = drain_run(queue, 60000);
    if (seconds != nullptr) {
      *seconds = std::chrono::duration<double>(Clock::now() - began).count();
    }
    worker.stop();
    EXPECT_EQ(serial_close(&handle, message), 0) << message;
    return seen;
  }

  NoticeQueue queue;
  std::unique_ptr<RecordingPort> recorder;
  UpgradeWorker worker;
};

TEST_F(PtyRunTest, ACleanRunOverAPseudoTerminal) {
  Bootsim sim({"--require-match"});
  ASSERT_FALSE(sim.path().empty());
  double seconds = 0;
  const auto seen = run(sim, &seconds);
  expect_clean_notices(seen);
  expect_clean_wire(split_frames(recorder->written()), firmware_image(), 1);
  EXPECT_EQ(sim.wait_exit(std::chrono::seconds(20)), 0) << sim.report().substr(0, 2000);
  const std::string report = sim.report();
  EXPECT_NE(report.find("\"matches\": true"), std::string::npos);
  EXPECT_NE(report.find("\"violations\": []"), std::string::npos);
  RecordProperty("run_seconds", std::to_string(seconds));
  std::printf("one clean run over a pseudo-terminal, unpaced simulator: %.3f s\n", seconds);
}

TEST_F(PtyRunTest, AFailedRunThenACleanOneOnTheSameTerminal) {
  // Request 6 is the third erase block; the controller reports a device error.
  Bootsim sim({"--device-error", "6:7"});
  ASSERT_FALSE(sim.path().empty());
  const auto failed = run(sim);
  ASSERT_GE(failed.size(), 2u);
  EXPECT_EQ(failed[failed.size() - 2].text,
            "ORVA had an internal error(7)!\r\nMessage id 5/5, type erase: offset address "
            "0x0000c000 size 16384 bytes\r\n");
  EXPECT_EQ(failed.back().kind, NOTIFY_DONE);

  discard_unread(sim.path());
  const auto seen = run(sim);
  expect_clean_notices(seen);
  EXPECT_EQ(sim.wait_exit(std::chrono::seconds(20)), 0);
  EXPECT_NE(sim.report().find("\"matches\": true"), std::string::npos);
}

TEST_F(PtyRunTest, CancelDuringProgrammingOverAPseudoTerminal) {
  Bootsim sim({});
  ASSERT_FALSE(sim.path().empty());
  PortHandle handle = 0;
  char message[SERIAL_MESSAGE_SIZE] = "";
  ASSERT_EQ(serial_open(sim.path().c_str(), &handle, message), 0) << message;
  worker.start(&queue, handle);
  // Cancel as the dialog does, once programming has begun.
  std::vector<Notice> seen;
  Notice notice;
  while (queue.wait_pop(notice, 30000)) {
    const bool programming =
        notice.kind == NOTIFY_TEXT && notice.text.rfind("Program address", 0) == 0;
    const bool done = notice.kind == NOTIFY_DONE;
    if (programming || done) {
      break;
    }
  }
  worker.stop();
  const auto rest = drain(queue);
  seen.insert(seen.end(), rest.begin(), rest.end());
  EXPECT_EQ(serial_close(&handle, message), 0);
  ASSERT_GE(seen.size(), 2u);
  EXPECT_EQ(seen[seen.size() - 2].text, "user canceled transmission, upgrade not complete!\r\n");
  EXPECT_EQ(seen.back().kind, NOTIFY_DONE);
}

} // namespace
