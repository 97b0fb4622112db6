#include "app/http/token_file.h"

#include <sys/stat.h>
#include <unistd.h>

bool token_file_open_to_others(const std::string& path) {
  struct stat info {};
  if (stat(path.c_str(), &info) != 0) return false;
  // Read by the group of this process alone (a service's token, kept by
  // root where the service cannot change it) is the file's own business.
  const mode_t group = info.st_gid == getegid() ? S_IWGRP | S_IXGRP : S_IRWXG;
  return (info.st_mode & (group | S_IRWXO)) != 0;
}
