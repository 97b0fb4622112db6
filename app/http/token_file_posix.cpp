#include "app/http/token_file.h"

#include <sys/stat.h>

bool token_file_open_to_others(const std::string& path) {
  struct stat info {};
  return stat(path.c_str(), &info) == 0 && (info.st_mode & (S_IRWXG | S_IRWXO)) != 0;
}
