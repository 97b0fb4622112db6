#include "app/cli/run_record.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <time.h>
#include <unistd.h>

#include <cstring>

namespace {

std::string failure(const std::string& path, const char* what) {
  return "cannot " + std::string(what) + " the record file " + path + ": " + std::strerror(errno);
}

} // namespace

bool run_record_append(const std::string& path, const std::string& line, std::string* error) {
  const int fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) {
    *error = failure(path, "open");
    return false;
  }
  // O_APPEND alone keeps one write() whole on a local file system; the lock
  // also covers network file systems and readers that take it.
  bool ok = true;
  int locked;
  while ((locked = flock(fd, LOCK_EX)) != 0 && errno == EINTR) {
  }
  if (locked != 0) {
    ok = false;
    *error = failure(path, "lock");
  } else {
    ssize_t written;
    while ((written = write(fd, line.data(), line.size())) < 0 && errno == EINTR) {
    }
    if (written != static_cast<ssize_t>(line.size())) {
      ok = false;
      if (written >= 0) errno = ENOSPC;
      *error = failure(path, "write");
    }
    flock(fd, LOCK_UN);
  }
  if (close(fd) != 0 && ok) {
    ok = false;
    *error = failure(path, "write");
  }
  return ok;
}

std::string run_record_host() {
  char name[256] = "";
  if (gethostname(name, sizeof name - 1) != 0) return "";
  name[sizeof name - 1] = '\0';
  return name;
}

std::string run_record_utc_now() {
  const time_t now = time(nullptr);
  struct tm utc {};
  char text[32] = "";
  if (gmtime_r(&now, &utc) != nullptr) strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
  return text;
}
