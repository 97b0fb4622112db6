#include "app/line/open_files.h"

#include <sys/resource.h>

#include <cerrno>
#include <cstring>

std::string open_files_allow(size_t needed) {
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0) {
    return std::string("cannot read the limit of open files: ") + std::strerror(errno);
  }
  const rlim_t want = static_cast<rlim_t>(needed);
  if (limit.rlim_cur == RLIM_INFINITY || limit.rlim_cur >= want) return "";
  const bool short_of = limit.rlim_max != RLIM_INFINITY && limit.rlim_max < want;
  limit.rlim_cur = short_of ? limit.rlim_max : want;
  if (setrlimit(RLIMIT_NOFILE, &limit) != 0) {
    return std::string("cannot raise the limit of open files: ") + std::strerror(errno);
  }
  if (!short_of) return "";
  return "the line may hold " + std::to_string(limit.rlim_max) + " files open, not the " +
         std::to_string(needed) + " its stations' connections need: raise LimitNOFILE (ulimit -Hn)";
}
