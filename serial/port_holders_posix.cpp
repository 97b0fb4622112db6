#include "serial/port_holders.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// Programs that open USB serial adapters on their own when they appear.
struct KnownGrabber {
  const char* name;
  const char* fix;
};

const KnownGrabber GRABBERS[] = {
    {"ModemManager",
     "ModemManager probes new serial adapters for modems: stop it with "
     "'sudo systemctl stop ModemManager', or keep it off this adapter with a udev rule "
     "setting ENV{ID_MM_DEVICE_IGNORE}=\"1\""},
    {"brltty", "brltty takes some USB serial adapters for braille displays: if no braille display "
               "is used, remove it with 'sudo apt remove brltty'"},
};

bool all_digits(const char* text) {
  if (!*text) return false;
  for (; *text; ++text) {
    if (*text < '0' || *text > '9') return false;
  }
  return true;
}

bool holds(const std::string& fd_folder, dev_t device) {
  DIR* fds = opendir(fd_folder.c_str());
  if (!fds) return false;
  bool found = false;
  while (dirent* entry = readdir(fds)) {
    if (!all_digits(entry->d_name)) continue;
    struct stat st;
    const std::string fd = fd_folder + "/" + entry->d_name;
    if (stat(fd.c_str(), &st) == 0 && S_ISCHR(st.st_mode) && st.st_rdev == device) {
      found = true;
      break;
    }
  }
  closedir(fds);
  return found;
}

std::string command_name(const std::string& process) {
  std::string name;
  if (FILE* file = std::fopen((process + "/comm").c_str(), "r")) {
    char line[64] = "";
    if (std::fgets(line, sizeof line, file)) name = line;
    std::fclose(file);
  }
  while (!name.empty() && (name.back() == '\n' || name.back() == '\r')) name.pop_back();
  return name.empty() ? "?" : name;
}

} // namespace

std::vector<PortHolder> port_holders(const char* proc, dev_t device) {
  std::vector<PortHolder> holders;
  DIR* processes = opendir(proc);
  if (!processes) return holders;
  const long self = static_cast<long>(getpid());
  while (dirent* entry = readdir(processes)) {
    if (!all_digits(entry->d_name)) continue;
    const long pid = std::strtol(entry->d_name, nullptr, 10);
    if (pid == self) continue;
    const std::string process = std::string(proc) + "/" + entry->d_name;
    if (holds(process + "/fd", device)) holders.push_back({pid, command_name(process)});
  }
  closedir(processes);
  return holders;
}

std::string holders_text(const std::vector<PortHolder>& holders) {
  std::string text;
  for (const PortHolder& holder : holders) {
    text += text.empty() ? "held by " : ", ";
    text += holder.name + " (pid " + std::to_string(holder.pid) + ")";
  }
  for (const KnownGrabber& grabber : GRABBERS) {
    for (const PortHolder& holder : holders) {
      if (holder.name == grabber.name) {
        text += "; ";
        text += grabber.fix;
        break;
      }
    }
  }
  return text;
}
