#include "bench/pty_floor.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <sstream>
#include <string>
#include <thread>

#include "tests/support/child_process.h"

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

// A pseudo-terminal in raw mode: the controller's end, and the host's end
// held open (reading the master of a terminal nobody holds fails).
struct Terminal {
  int master = -1;
  int slave = -1;
  std::string path;
  ~Terminal() {
    if (slave >= 0) close(slave);
    if (master >= 0) close(master);
  }
};

bool open_terminal(Terminal* t) {
  t->master = posix_openpt(O_RDWR | O_NOCTTY);
  if (t->master < 0 || grantpt(t->master) != 0 || unlockpt(t->master) != 0) return false;
  t->path = ptsname(t->master);
  t->slave = open(t->path.c_str(), O_RDWR | O_NOCTTY);
  termios tio{};
  if (t->slave < 0 || tcgetattr(t->slave, &tio) != 0) return false;
  cfmakeraw(&tio);
  return tcsetattr(t->slave, TCSANOW, &tio) == 0;
}

double wire_seconds(int request_bytes, int answer_bytes, double baud) {
  return (request_bytes + answer_bytes) * 10.0 / baud;
}

pid_t start_controller(const Terminal& t, int exchanges, int request_bytes, int answer_bytes,
                       double wire_s) {
  const pid_t child = fork();
  if (child == 0) {
    close(t.slave);
    controller(t.master, exchanges, request_bytes, answer_bytes,
               std::chrono::nanoseconds(static_cast<long long>(wire_s * 1e9)));
  }
  return child;
}

void reap(pid_t child) {
  int status = 0;
  if (child > 0) waitpid(child, &status, 0);
}

double thread_cpu_us() {
  rusage u{};
  getrusage(RUSAGE_THREAD, &u);
  return (u.ru_utime.tv_sec + u.ru_stime.tv_sec) * 1e6 + u.ru_utime.tv_usec + u.ru_stime.tv_usec;
}

} // namespace

std::vector<double> pty_floor_us(int exchanges, int request_bytes, int answer_bytes, double baud,
                                 double* host_cpu_us) {
  std::vector<double> beyond;
  Terminal t;
  if (!open_terminal(&t)) return beyond;
  const double wire_s = wire_seconds(request_bytes, answer_bytes, baud);
  const pid_t child = start_controller(t, exchanges, request_bytes, answer_bytes, wire_s);
  const std::vector<char> request(static_cast<size_t>(request_bytes), 'r');
  std::vector<char> answer(static_cast<size_t>(answer_bytes));
  const double cpu_before = thread_cpu_us();
  for (int i = 0; child > 0 && i < exchanges; ++i) {
    const Clock::time_point start = Clock::now();
    if (!write_all(t.slave, request.data(), request_bytes) ||
        !read_exactly(t.slave, answer.data(), answer_bytes)) {
      beyond.clear();
      break;
    }
    const std::chrono::duration<double, std::micro> took = Clock::now() - start;
    beyond.push_back(took.count() - wire_s * 1e6);
  }
  *host_cpu_us = beyond.empty() ? 0 : (thread_cpu_us() - cpu_before) / beyond.size();
  close(t.master);
  t.master = -1;
  reap(child);
  return beyond;
}

std::vector<double> wine_floor_us(const std::string& scripts, const std::string& probe, int com,
                                  int exchanges, int request_bytes, int answer_bytes, double baud) {
  std::vector<double> beyond;
  Terminal t;
  if (!open_terminal(&t)) return beyond;
  ChildProcess map;
  if (!map.start({scripts + "/wine-map-com", std::to_string(com), t.path}) ||
      map.finish(120) != 0) {
    std::fprintf(stderr, "bench: cannot map %s as COM%d: %s\n", t.path.c_str(), com,
                 map.err().c_str());
    return beyond;
  }
  const double wire_s = wire_seconds(request_bytes, answer_bytes, baud);
  const pid_t child = start_controller(t, exchanges, request_bytes, answer_bytes, wire_s);
  ChildProcess run;
  const bool started =
      child > 0 && run.start({scripts + "/wine-run", probe, "COM" + std::to_string(com),
                              std::to_string(exchanges), std::to_string(request_bytes),
                              std::to_string(answer_bytes)});
  if (started && run.finish(300) == 0) {
    std::istringstream lines(run.out());
    for (double us = 0; lines >> us;) beyond.push_back(us - wire_s * 1e6);
  } else {
    std::fprintf(stderr, "bench: the probe failed: %s\n", run.err().c_str());
  }
  if (beyond.size() != static_cast<size_t>(exchanges)) beyond.clear();
  close(t.master);
  t.master = -1;
  if (child > 0) kill(child, SIGTERM);
  reap(child);
  return beyond;
}
