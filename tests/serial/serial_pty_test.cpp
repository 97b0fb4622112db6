// The Linux port on pseudo-terminals: the test holds the master side, the
// port under test opens the slave.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "serial/port_list.h"
#include "serial/serial.h"

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

long long ms_since(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

class PtyPort : public ::testing::Test {
protected:
  void SetUp() override {
    master_ = posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(master_, 0);
    ASSERT_EQ(grantpt(master_), 0);
    ASSERT_EQ(unlockpt(master_), 0);
    slave_ = ptsname(master_);
  }
  void TearDown() override {
    if (slot_) serial_close(&slot_, message_);
    if (master_ >= 0) close(master_);
  }
  SerialPort* open_port(const char* name) {
    EXPECT_EQ(serial_open(name, &slot_, message_), 0) << message_;
    return port_from_handle(slot_);
  }
  // What the master side receives within a second.
  std::string receive(size_t count) {
    std::string got;
    const Clock::time_point start = Clock::now();
    while (got.size() < count && ms_since(start) < 1000) {
      pollfd watch{master_, POLLIN, 0};
      if (poll(&watch, 1, 50) <= 0) continue;
      char buffer[512];
      const ssize_t n = read(master_, buffer, sizeof buffer);
      if (n > 0) got.append(buffer, static_cast<size_t>(n));
    }
    return got;
  }

  int master_ = -1;
  std::string slave_;
  PortHandle slot_ = 0;
  char message_[256] = "stale";
};

} // namespace

TEST_F(PtyPort, OpensRawAt115200EightNoneOneWithoutFlowControl) {
  ASSERT_NE(open_port(slave_.c_str()), nullptr);
  EXPECT_STREQ(message_, "");

  termios line{};
  ASSERT_EQ(tcgetattr(master_, &line), 0); // a pty master reports its slave's settings
  EXPECT_EQ(cfgetispeed(&line), B115200);
  EXPECT_EQ(cfgetospeed(&line), B115200);
  EXPECT_EQ(line.c_cflag & (CSIZE | PARENB | CSTOPB | CRTSCTS | CLOCAL | CREAD),
            CS8 | CLOCAL | CREAD);
  EXPECT_EQ(line.c_iflag & (IXON | IXOFF | IXANY | ICRNL | INLCR | ISTRIP), 0u);
  EXPECT_EQ(line.c_oflag & OPOST, 0u);
  EXPECT_EQ(line.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), 0u);
  EXPECT_EQ(line.c_cc[VMIN], 0);
  EXPECT_EQ(line.c_cc[VTIME], 0);
}

TEST_F(PtyPort, OpensThroughTheLinkFolder) {
  char pattern[] = "/tmp/orva-links-XXXXXX";
  ASSERT_NE(mkdtemp(pattern), nullptr);
  const fs::path config = pattern;
  fs::create_directories(config / "orvaload/dosdevices");
  fs::create_symlink(slave_, config / "orvaload/dosdevices/com7");
  fs::create_symlink(slave_, config / "orvaload/dosdevices/com90"); // past the list's end
  const char* saved = std::getenv("XDG_CONFIG_HOME");
  const std::string saved_value = saved ? saved : "";
  setenv("XDG_CONFIG_HOME", pattern, 1);

  char device[SERIAL_PATH_SIZE];
  EXPECT_TRUE(serial_resolve_name("COM7", device, sizeof device));
  EXPECT_EQ(device, slave_);
  std::vector<int> listed;
  for (const PortEntry& port : serial_list_ports()) {
    listed.push_back(port.number);
    if (port.number == 7) {
      EXPECT_EQ(port.device, slave_);
    }
  }
  EXPECT_NE(std::find(listed.begin(), listed.end(), 7), listed.end());
  EXPECT_TRUE(std::is_sorted(listed.begin(), listed.end()));
  EXPECT_GE(listed.front(), 1);
  EXPECT_LE(listed.back(), 89);
  EXPECT_NE(open_port("\\\\.\\COM7"), nullptr);
  EXPECT_EQ(serial_close(&slot_, message_), 0);
  slot_ = 0;
  EXPECT_NE(open_port("com7"), nullptr);

  if (saved) setenv("XDG_CONFIG_HOME", saved_value.c_str(), 1);
  else unsetenv("XDG_CONFIG_HOME");
  fs::remove_all(config);
}

TEST_F(PtyPort, HeldPortRefusesASecondOpenUntilClosed) {
  ASSERT_NE(open_port(slave_.c_str()), nullptr);
  PortHandle second = 5;
  EXPECT_EQ(serial_open(slave_.c_str(), &second, message_), 2);
  EXPECT_STREQ(message_, "serial port open failed!\r\n");
  EXPECT_EQ(second, 0u);
  // The hint tells what the failed open met.
  const SerialOpening again = serial_open_explained(slave_.c_str(), &second);
  EXPECT_EQ(again.result, 2);
  EXPECT_EQ(again.text, "serial port open failed!\r\n");
  EXPECT_EQ(again.hint, slave_ + " is busy (held by another program)");

  EXPECT_EQ(serial_close(&slot_, message_), 0);
  slot_ = 0;
  EXPECT_NE(open_port(slave_.c_str()), nullptr);
}

TEST_F(PtyPort, PortAnotherProgramMadeExclusiveIsRefused) {
  const int other = open(slave_.c_str(), O_RDWR | O_NOCTTY);
  ASSERT_GE(other, 0);
  ASSERT_EQ(ioctl(other, TIOCEXCL), 0);
  PortHandle slot = 5;
  EXPECT_EQ(serial_open(slave_.c_str(), &slot, message_), 2); // even when run as root
  EXPECT_EQ(slot, 0u);
  ioctl(other, TIOCNXCL);
  close(other);
}

TEST_F(PtyPort, CarriesFramesBothWays) {
  SerialPort* port = open_port(slave_.c_str());
  ASSERT_NE(port, nullptr);
  std::vector<uint8_t> frame(300);
  for (size_t i = 0; i < frame.size(); ++i) frame[i] = static_cast<uint8_t>(i * 7);
  ASSERT_TRUE(port->write(frame.data(), frame.size()));
  EXPECT_EQ(receive(frame.size()), std::string(frame.begin(), frame.end()));

  const char answer[] = "\x02\x01\x80\x00\x00\x81\x03";
  ASSERT_EQ(write(master_, answer, 7), 7);
  uint8_t buffer[256];
  size_t got = 0;
  const Clock::time_point start = Clock::now();
  ASSERT_TRUE(port->read(buffer, sizeof buffer, &got));
  EXPECT_LT(ms_since(start), 100); // ends when the line goes quiet, not at the time-out
  EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), got), std::string(answer, 7));
}

// The check puts more bytes on the line at the moment it finds the first
// ones complete: a read that waited for quiet would take them too.
TEST_F(PtyPort, ReadEndsAsSoonAsItsCallerFindsTheBytesComplete) {
  class CompleteAtThree final : public ReadCheck {
  public:
    explicit CompleteAtThree(int master) : master_(master) {}
    size_t missing(const uint8_t*, size_t size) const override {
      if (size < 3) return 3 - size;
      return write(master_, "more", 4) == 4 ? 0 : 1;
    }

  private:
    int master_;
  };
  SerialPort* port = open_port(slave_.c_str());
  ASSERT_NE(port, nullptr);
  ASSERT_EQ(write(master_, "abc", 3), 3);
  uint8_t buffer[256];
  size_t got = 0;
  const CompleteAtThree check(master_);

  ASSERT_TRUE(port->read_until(buffer, sizeof buffer, &got, check));
  EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), got), "abc");
  ASSERT_TRUE(port->read(buffer, sizeof buffer, &got));
  EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), got), "more");
}

TEST_F(PtyPort, IdleReadSucceedsEmptyAfterTheTotalTimeOut) {
  SerialPort* port = open_port(slave_.c_str());
  ASSERT_NE(port, nullptr);
  uint8_t buffer[256];
  size_t got = 99;
  const Clock::time_point start = Clock::now();
  EXPECT_TRUE(port->read(buffer, sizeof buffer, &got));
  const long long took = ms_since(start);
  EXPECT_EQ(got, 0u);
  EXPECT_GE(took, 257);
  EXPECT_LT(took, 500);
}

TEST_F(PtyPort, HangUpIsAReadErrorAtOnceAndStaysOne) {
  SerialPort* port = open_port(slave_.c_str());
  ASSERT_NE(port, nullptr);
  close(master_);
  master_ = -1;
  uint8_t buffer[256];
  size_t got = 0;
  const Clock::time_point start = Clock::now();
  EXPECT_FALSE(port->read(buffer, sizeof buffer, &got));
  EXPECT_FALSE(port->read(buffer, sizeof buffer, &got));
  EXPECT_LT(ms_since(start), 50);
  EXPECT_EQ(got, 0u);
}

TEST_F(PtyPort, WriteToAPeerThatStoppedReadingFailsInBoundedTime) {
  SerialPort* port = open_port(slave_.c_str());
  ASSERT_NE(port, nullptr);
  const std::vector<uint8_t> frame(256, 0x55);
  long long longest = 0;
  bool failed = false;
  for (int i = 0; i < 4096 && !failed; ++i) {
    const Clock::time_point start = Clock::now();
    failed = !port->write(frame.data(), frame.size());
    longest = std::max(longest, ms_since(start));
  }
  EXPECT_TRUE(failed);
  EXPECT_LT(longest, 500);
}

TEST(SerialOpenLinux, RefusesWhatIsNoSerialPort) {
  char pattern[] = "/tmp/orva-notport-XXXXXX";
  ASSERT_NE(mkdtemp(pattern), nullptr);
  const std::string file = std::string(pattern) + "/file";
  {
    std::FILE* f = std::fopen(file.c_str(), "w");
    std::fclose(f);
  }
  for (const std::string& name : {file, std::string(pattern), std::string("/dev/null"),
                                  std::string(pattern) + "/missing", std::string("relative/tty")}) {
    PortHandle slot = 3;
    char message[256] = "";
    EXPECT_EQ(serial_open(name.c_str(), &slot, message), 2) << name;
    EXPECT_STREQ(message, "serial port open failed!\r\n");
    EXPECT_EQ(slot, 0u);
  }
  PortHandle slot = 0;
  EXPECT_EQ(serial_open_explained(file.c_str(), &slot).hint, file + " is not a serial port");
  const std::string missing = serial_open_explained((file + "x").c_str(), &slot).hint;
  // A missing port's hint goes on with the ports there are instead.
  EXPECT_EQ(missing.rfind(file + "x does not exist; ", 0), 0u) << missing;
  fs::remove_all(pattern);
}
