#include "tests/support/bootsim_process.h"

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <system_error>

BootsimProcess::BootsimProcess() {
  char pattern[] = "/tmp/orva-bootsim-XXXXXX";
  if (mkdtemp(pattern) != nullptr) dir_ = pattern;
}

bool BootsimProcess::start(const std::vector<std::string>& args, double first_line_s) {
  std::vector<std::string> argv{ORVA_BOOTSIM_PROGRAM};
  argv.insert(argv.end(), args.begin(), args.end());
  child_.share_stderr();
  if (!child_.start(argv, {"XDG_CONFIG_HOME=" + dir_})) return false;
  if (child_.wait_for_output("\n", first_line_s)) {
    path_ = child_.out().substr(0, child_.out().find('\n'));
  }
  return true;
}

int BootsimProcess::wait_exit(std::chrono::milliseconds limit) {
  return child_.finish(std::chrono::duration<double>(limit).count());
}

std::string BootsimProcess::report() const {
  std::ifstream file(report_path());
  std::stringstream text;
  text << file.rdbuf();
  return text.str();
}

bool BootsimProcess::clean_up() {
  child_.stop();
  if (dir_.empty()) return true;
  std::error_code error;
  std::filesystem::remove_all(dir_, error);
  return !error;
}
