// orva-bootsim in a process of its own, with a private folder for its report
// and its port links, so tests that drive it run side by side.
#pragma once

#include <chrono>
#include <string>
#include <vector>

#include "tests/support/child_process.h"

class BootsimProcess {
public:
  // Makes the folder; dir() is empty when that failed.
  BootsimProcess();
  BootsimProcess(const BootsimProcess&) = delete;
  BootsimProcess& operator=(const BootsimProcess&) = delete;
  ~BootsimProcess() { clean_up(); }

  // Starts orva-bootsim with exactly `args`, its port links in the folder and
  // its standard error in the test log, then waits up to first_line_s for the
  // line naming its terminal. False when the program could not be started.
  bool start(const std::vector<std::string>& args, double first_line_s);

  // The terminal it serves; empty when it named none in time.
  const std::string& path() const { return path_; }
  const std::string& dir() const { return dir_; }
  std::string report_path() const { return dir_ + "/report.json"; }
  std::string link_path(int com) const {
    return dir_ + "/orvaload/dosdevices/com" + std::to_string(com);
  }

  // The exit status once it has ended, 128 + signal for a death by signal, -1
  // when it did not end within `limit` (it is killed then).
  int wait_exit(std::chrono::milliseconds limit);
  void signal(int sig) { child_.send_signal(sig); }
  // The report it wrote when it ended; empty before.
  std::string report() const;

  // Stops a child still running and removes the folder; true once it is gone.
  bool clean_up();

private:
  std::string dir_;
  std::string path_;
  ChildProcess child_;
};
