#include "bench/pty_floor.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

// The simulated controller's way of meeting a deadline: sleep until shortly
// before it, then poll the clock.
constexpr auto WAKE_LEAD = std::chrono::microseconds(300);

bool read_exactly(int fd, char* buffer, int count) {
  for (int got = 0; got < count;) {
    const ssize_t n = read(fd, buffer + got, static_cast<size_t>(count - got));
    if (n <= 0) return false;
    got += static_cast<int>(n);
  }
  return true;
}

bool write_all(int fd, const char* buffer, int count) {
  return write(fd, buffer, static_cast<size_t>(count)) == count;
}

[[noreturn]] void controller(int master, int exchanges, int request_bytes, int answer_bytes,
                             std::chrono::nanoseconds wire) {
  std::vector<char> request(static_cast<size_t>(request_bytes));
  const std::vector<char> answer(static_cast<size_t>(answer_bytes), 'a');
  for (int i = 0; i < exchanges; ++i) {
    if (!read_exactly(master, request.data(), request_bytes)) _exit(1);
    const Clock::time_point due = Clock::now() + wire;
    std::this_thread::sleep_until(due - WAKE_LEAD);
    while (Clock::now() < due) {
    }
    if (!write_all(master, answer.data(), answer_bytes)) _exit(1);
  }
  _exit(0);
}

} // namespace

std::vector<double> pty_floor_us(int exchanges, int request_bytes, int answer_bytes, double baud) {
  std::vector<double> beyond;
  const int master = posix_openpt(O_RDWR | O_NOCTTY);
  if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) return beyond;
  const int slave = open(ptsname(master), O_RDWR | O_NOCTTY);
  termios tio{};
  if (slave < 0 || tcgetattr(slave, &tio) != 0) return beyond;
  cfmakeraw(&tio);
  tcsetattr(slave, TCSANOW, &tio);

  const double wire_s = (request_bytes + answer_bytes) * 10.0 / baud;
  const auto wire = std::chrono::nanoseconds(static_cast<long long>(wire_s * 1e9));
  const pid_t child = fork();
  if (child == 0) {
    close(slave);
    controller(master, exchanges, request_bytes, answer_bytes, wire);
  }
  const std::vector<char> request(static_cast<size_t>(request_bytes), 'r');
  std::vector<char> answer(static_cast<size_t>(answer_bytes));
  for (int i = 0; child > 0 && i < exchanges; ++i) {
    const Clock::time_point start = Clock::now();
    if (!write_all(slave, request.data(), request_bytes) ||
        !read_exactly(slave, answer.data(), answer_bytes)) {
      beyond.clear();
      break;
    }
    const std::chrono::duration<double, std::micro> took = Clock::now() - start;
    beyond.push_back(took.count() - wire_s * 1e6);
  }
  close(slave);
  close(master);
  int status = 0;
  if (child > 0) waitpid(child, &status, 0);
  return beyond;
}
