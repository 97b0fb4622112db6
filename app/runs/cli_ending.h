// How orvaload-cli ends: a status from its table of exit statuses and, when
// there is something to say, the reason. main prints the reason once, behind
// the program's name, and ends with the status.
#pragma once

#include <cstdint>
#include <string>

enum class CliStatus : uint8_t {
  ok,      // every controller took its image; or --help, --version, --list, --info
  failed,  // a run failed, was cancelled or ended without its final report
  usage,   // bad usage, or a firmware or record file refused: nothing was sent
  no_port, // a port could not be opened (the others still ran)
  // Every controller took its image, but a record line could not be written:
  // a production line that reads only the status must not take it for 0.
  record_lost,
};

// 0, 1, 2, 3 and 4, in the order above: scripts rely on them.
int cli_exit_status(CliStatus status);

struct CliEnding {
  CliStatus status = CliStatus::ok;
  // For standard error, without the program's name; empty: nothing to say. A
  // second line may say where to read more.
  std::string reason;
};

// "orvaload-cli: TEXT\n": every line the program writes on standard error in
// its own name.
std::string cli_error_line(const std::string& text);
