#include "app/runs/run_record.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

namespace {

RecordAppend failure(RecordStatus status, const std::string& path) {
  return record_failure(status, path, std::string(": ") + std::strerror(errno));
}

} // namespace

RecordAppend run_record_append(const std::string& path, const std::string& line) {
  const int fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) {
    return failure(RecordStatus::cannot_open, path);
  }
  // O_APPEND alone keeps one write() whole on a local file system; the lock
  // also covers network file systems and readers that take it.
  RecordAppend result;
  int locked;
  while ((locked = flock(fd, LOCK_EX)) != 0 && errno == EINTR) {
  }
  if (locked != 0) {
    result = failure(RecordStatus::cannot_lock, path);
  } else {
    ssize_t written;
    while ((written = write(fd, line.data(), line.size())) < 0 && errno == EINTR) {
    }
    if (written != static_cast<ssize_t>(line.size())) {
      if (written >= 0) errno = ENOSPC;
      result = failure(RecordStatus::cannot_write, path);
    }
    flock(fd, LOCK_UN);
  }
  if (close(fd) != 0 && result.ok()) {
    result = failure(RecordStatus::cannot_write, path);
  }
  return result;
}

std::string run_record_host() {
  char name[256] = "";
  if (gethostname(name, sizeof name - 1) != 0) return "";
  name[sizeof name - 1] = '\0';
  return name;
}

std::string run_record_state_folder() {
  // A relative XDG_STATE_HOME is to be ignored, as the XDG rules say.
  const char* state = std::getenv("XDG_STATE_HOME");
  if (state != nullptr && state[0] == '/') return std::string(state) + "/orvaload";
  const char* home = std::getenv("HOME");
  if (home != nullptr && home[0] == '/') return std::string(home) + "/.local/state/orvaload";
  return "";
}

void run_record_private_files() {
  umask(077);
}

std::string run_record_utc_now() {
  const time_t now = time(nullptr);
  struct tm utc {};
  char text[32] = "";
  if (gmtime_r(&now, &utc) != nullptr) strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
  return text;
}
