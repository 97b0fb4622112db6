#include "tests/support/child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <fstream>

double monotonic_seconds() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<double>(now.tv_sec) + now.tv_nsec / 1e9;
}

void ChildProcess::stop() {
  if (pid_ > 0 && !exited_) {
    kill(pid_, SIGKILL);
    reap(true);
  }
  if (out_fd_ >= 0) close(out_fd_);
  if (err_fd_ >= 0) close(err_fd_);
  out_fd_ = -1;
  err_fd_ = -1;
}

bool ChildProcess::start(const std::vector<std::string>& argv, const std::vector<std::string>& env,
                         const std::string& stderr_device) {
  int out_pipe[2];
  int err_pipe[2];
  // A second start begins afresh: nothing of the last child's output stays.
  out_.clear();
  err_.clear();
  exited_ = false;
  status_ = -1;
  if (argv.empty() || pipe2(out_pipe, O_CLOEXEC) != 0) return false;
  if (pipe2(err_pipe, O_CLOEXEC) != 0) {
    close(out_pipe[0]);
    close(out_pipe[1]);
    return false;
  }
  // Built before the fork: the child may only call async-signal-safe functions.
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);

  pid_ = fork();
  if (pid_ == 0) {
    int null_fd = open("/dev/null", O_RDONLY);
    dup2(null_fd, STDIN_FILENO);
    dup2(out_pipe[1], STDOUT_FILENO);
    if (!share_stderr_) {
      int err_fd =
          stderr_device.empty() ? err_pipe[1] : open(stderr_device.c_str(), O_WRONLY | O_NOCTTY);
      dup2(err_fd, STDERR_FILENO);
    }
    for (const std::string& e : env) putenv(const_cast<char*>(e.c_str()));
    execv(args[0], args.data());
    _exit(127);
  }
  close(out_pipe[1]);
  close(err_pipe[1]);
  if (pid_ < 0) {
    close(out_pipe[0]);
    close(err_pipe[0]);
    return false;
  }
  out_fd_ = out_pipe[0];
  if (share_stderr_) {
    close(err_pipe[0]);
  } else {
    err_fd_ = err_pipe[0];
  }
  return true;
}

bool ChildProcess::pump(int timeout_ms) {
  pollfd fds[2];
  int n = 0;
  if (out_fd_ >= 0) fds[n++] = {out_fd_, POLLIN, 0};
  if (err_fd_ >= 0) fds[n++] = {err_fd_, POLLIN, 0};
  if (n == 0) return false;
  if (poll(fds, n, timeout_ms) <= 0) return true;
  char buffer[4096];
  for (int i = 0; i < n; ++i) {
    if (fds[i].revents == 0) continue;
    ssize_t got = read(fds[i].fd, buffer, sizeof buffer);
    if (got > 0) {
      (fds[i].fd == out_fd_ ? out_ : err_).append(buffer, static_cast<size_t>(got));
    } else if (got == 0 || errno != EINTR) {
      int& fd = fds[i].fd == out_fd_ ? out_fd_ : err_fd_;
      close(fd);
      fd = -1;
    }
  }
  return true;
}

bool ChildProcess::reap(bool block) {
  if (exited_ || pid_ <= 0) return exited_;
  int status = 0;
  pid_t got = wait4(pid_, &status, block ? 0 : WNOHANG, &usage_);
  if (got != pid_) return false;
  exited_ = true;
  ended_s_ = monotonic_seconds();
  status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return true;
}

bool ChildProcess::wait_for_output(const std::string& needle, double timeout_s) {
  double deadline = monotonic_seconds() + timeout_s;
  while (out_.find(needle) == std::string::npos) {
    double left = deadline - monotonic_seconds();
    if (left <= 0) return false;
    if (!pump(static_cast<int>(left * 1000) + 1)) return out_.find(needle) != std::string::npos;
  }
  return true;
}

void ChildProcess::send_signal(int signal) {
  if (pid_ > 0 && !exited_) kill(pid_, signal);
}

int ChildProcess::finish(double timeout_s) {
  // Never started: there is nothing to wait for, and no process to kill (a
  // kill(-1) would reach every process of the user).
  if (pid_ <= 0) return -1;
  double deadline = monotonic_seconds() + timeout_s;
  // Short waits, so that the end of a child whose pipes outlive it is seen
  // within a few milliseconds.
  while (pump(5)) {
    reap(false);
    if (monotonic_seconds() > deadline) {
      kill(pid_, SIGKILL);
      reap(true);
      return -1;
    }
  }
  // Both pipes closed; the child may still be finishing.
  while (!reap(false)) {
    if (monotonic_seconds() > deadline) {
      kill(pid_, SIGKILL);
      reap(true);
      return -1;
    }
    usleep(1000);
  }
  return status_;
}

double cpu_seconds_of(pid_t pid) {
  if (pid <= 0) return 0;
  std::ifstream file("/proc/" + std::to_string(pid) + "/stat");
  std::string field;
  // The name in field 2 may hold spaces: the fields are counted from its ')'.
  std::getline(file, field, ')');
  std::vector<std::string> fields;
  while (file >> field) fields.push_back(field);
  if (fields.size() < 13) return 0;
  const double ticks = static_cast<double>(sysconf(_SC_CLK_TCK));
  return (std::stod(fields[11]) + std::stod(fields[12])) / ticks;
}
