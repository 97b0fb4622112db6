#include "app/runs/cli_ending.h"

int cli_exit_status(CliStatus status) {
  switch (status) {
  case CliStatus::ok:
    return 0;
  case CliStatus::failed:
    break;
  case CliStatus::usage:
    return 2;
  case CliStatus::no_port:
    return 3;
  case CliStatus::record_lost:
    return 4;
  }
  return 1;
}

std::string cli_error_line(const std::string& text) {
  return "orvaload-cli: " + text + "\n";
}
