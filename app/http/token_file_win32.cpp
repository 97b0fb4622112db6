#include "app/http/token_file.h"

// A Windows file takes the access of its folder (a user's own profile, or
// one an administrator set); its access list is not read here.
bool token_file_open_to_others(const std::string&) {
  return false;
}
