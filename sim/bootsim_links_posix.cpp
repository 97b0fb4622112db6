// COM links to the simulator's terminal: a symlink for the Linux programs,
// and the Wine port mapping through scripts/wine-map-com.
#include <limits.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

#include "sim/bootsim_os.h"

#ifndef ORVA_SOURCE_DIR
#define ORVA_SOURCE_DIR ""
#endif

namespace {

// Wine's first start in a fresh prefix takes a while; a hung one must not hold us forever.
constexpr auto SCRIPT_LIMIT = std::chrono::seconds(180);

bool make_folders(const std::string& path) {
  for (size_t slash = path.find('/', 1);; slash = path.find('/', slash + 1)) {
    const std::string part = path.substr(0, slash);
    if (mkdir(part.c_str(), 0755) != 0 && errno != EEXIST) {
      return false;
    }
    if (slash == std::string::npos) {
      return true;
    }
  }
}

std::string program_folder() {
  char self[PATH_MAX];
  const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  if (n <= 0) {
    return "";
  }
  std::string path(self, static_cast<size_t>(n));
  return path.substr(0, path.rfind('/'));
}

bool executable(const std::string& path) {
  return !path.empty() && access(path.c_str(), X_OK) == 0;
}

std::string find_wine_script() {
  const std::string here = program_folder();
  const std::string candidates[] = {
      here + "/wine-map-com",                  // installed beside the program
      here + "/../../../scripts/wine-map-com", // build/<config>/sim in the source tree
      std::string(ORVA_SOURCE_DIR) + "/scripts/wine-map-com",
  };
  for (const std::string& candidate : candidates) {
    if (executable(candidate)) {
      return candidate;
    }
  }
  return "";
}

// Runs argv, waiting at most SCRIPT_LIMIT. Returns its exit status, or -1.
int run_bounded(const std::vector<std::string>& args) {
  std::vector<char*> argv;
  for (const std::string& a : args) {
    argv.push_back(const_cast<char*>(a.c_str()));
  }
  argv.push_back(nullptr);
  const pid_t child = fork();
  if (child < 0) {
    return -1;
  }
  if (child == 0) {
    // Its output is not ours: the first line of our standard output is the
    // terminal's path, and scripts read it.
    dup2(STDERR_FILENO, STDOUT_FILENO);
    execv(argv[0], argv.data());
    _exit(127);
  }
  const auto deadline = std::chrono::steady_clock::now() + SCRIPT_LIMIT;
  for (;;) {
    int status = 0;
    const pid_t done = waitpid(child, &status, WNOHANG);
    if (done == child) {
      return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    if (done < 0 && errno != EINTR) {
      return -1;
    }
    if (std::chrono::steady_clock::now() > deadline) {
      kill(child, SIGKILL);
      waitpid(child, &status, 0);
      return -1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

} // namespace

std::string bootsim_link_folder() {
  const char* config = std::getenv("XDG_CONFIG_HOME");
  std::string base;
  if (config && *config) {
    base = config;
  } else if (const char* home = std::getenv("HOME"); home && *home) {
    base = std::string(home) + "/.config";
  } else {
    return "";
  }
  return base + "/orvaload/dosdevices";
}

ComLinks::~ComLinks() {
  remove();
}

bool ComLinks::link_linux(int number, const std::string& device, std::string* error) {
  const std::string folder = bootsim_link_folder();
  if (folder.empty()) {
    *error = "neither XDG_CONFIG_HOME nor HOME is set";
    return false;
  }
  if (!make_folders(folder)) {
    *error = "cannot create " + folder + ": " + std::strerror(errno);
    return false;
  }
  const std::string link = folder + "/com" + std::to_string(number);
  struct stat st {};
  if (lstat(link.c_str(), &st) == 0) {
    if (!S_ISLNK(st.st_mode)) {
      *error = link + " exists and is not a link";
      return false;
    }
    // A link to a terminal that is gone was left by a simulator that was
    // killed; one that resolves belongs to someone still using it.
    if (stat(link.c_str(), &st) == 0) {
      *error = link + " already links to a device in use";
      return false;
    }
    unlink(link.c_str());
  }
  if (symlink(device.c_str(), link.c_str()) != 0) {
    *error = "cannot link " + link + ": " + std::strerror(errno);
    return false;
  }
  link_path_ = link;
  link_target_ = device;
  return true;
}

bool ComLinks::map_wine(int number, const std::string& device, const std::string& script,
                        std::string* error) {
  const std::string program = script.empty() ? find_wine_script() : script;
  if (!executable(program)) {
    *error =
        script.empty() ? "wine-map-com not found (give --wine-map-script)" : "cannot run " + script;
    return false;
  }
  const int status = run_bounded({program, std::to_string(number), device});
  if (status != 0) {
    *error = program + " " + std::to_string(number) + " " + device + " failed (status " +
             std::to_string(status) + ")";
    return false;
  }
  return true;
}

void ComLinks::remove() {
  if (link_path_.empty()) {
    return;
  }
  // Only our own link: another simulator may have taken the name since.
  char target[PATH_MAX];
  const ssize_t n = readlink(link_path_.c_str(), target, sizeof target - 1);
  if (n > 0 && std::string(target, static_cast<size_t>(n)) == link_target_) {
    unlink(link_path_.c_str());
  }
  link_path_.clear();
}
