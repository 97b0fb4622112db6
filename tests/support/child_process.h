// Runs a program as a child with its standard output and error captured,
// bounded in time. Used by the benchmark and by the tests that drive
// orvaload-cli and orva-bootsim as separate processes.
#pragma once

#include <sys/resource.h>
#include <sys/types.h>

#include <string>
#include <vector>

class ChildProcess {
public:
  ChildProcess() = default;
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;
  ~ChildProcess() { stop(); }

  // Before start(): the child writes its standard error where this process
  // does (the test log) instead of into err().
  void share_stderr() { share_stderr_ = true; }

  // Starts argv[0] (a path) with `env` added to this process's environment
  // ("NAME=value"). Standard input is /dev/null. Standard error goes to
  // `stderr_device` when one is named (a terminal, say) instead of err().
  bool start(const std::vector<std::string>& argv, const std::vector<std::string>& env = {},
             const std::string& stderr_device = "");

  // Collects output until `needle` shows up on standard output or the time
  // runs out (or the child ends). True when it showed up.
  bool wait_for_output(const std::string& needle, double timeout_s);
  void send_signal(int signal);

  // Collects output until the child ends and its output pipes have closed
  // (a process it started may hold them longer); kills it after timeout_s.
  // Returns the exit status, 128 + signal for a signal, -1 when it had to be
  // killed.
  int finish(double timeout_s);
  // When finish() first saw the child ended (monotonic_seconds()).
  double ended_s() const { return ended_s_; }

  // Kills a child still running, reaps it and closes its pipes.
  void stop();

  pid_t pid() const { return pid_; }
  const std::string& out() const { return out_; }
  const std::string& err() const { return err_; }
  // The child's CPU time, valid after finish().
  const struct rusage& usage() const { return usage_; }

private:
  // Reads what is there, waiting at most timeout_ms. False once both pipes closed.
  bool pump(int timeout_ms);
  bool reap(bool block);

  pid_t pid_ = -1;
  int out_fd_ = -1;
  int err_fd_ = -1;
  bool share_stderr_ = false;
  bool exited_ = false;
  int status_ = -1;
  double ended_s_ = 0;
  std::string out_;
  std::string err_;
  struct rusage usage_ {};
};

double monotonic_seconds();
// A process's CPU time so far, user and system, in seconds (from /proc); 0
// when it cannot be read.
double cpu_seconds_of(pid_t pid);
