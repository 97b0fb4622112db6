// The command line of orvaload-cli.
#pragma once

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

struct CliOptions {
  std::vector<std::string> ports; // in the order given; empty with --list and --info
  bool list = false;
  std::string image; // firmware file; empty: the built-in image
  bool address_given = false;
  uint32_t address = 0; // where a raw binary goes, with address_given
  bool info = false;    // describe the image instead of sending it
  bool json = false;    // JSON events on standard output instead of texts
  std::string log_path; // record file; empty: none
};

// Returns -1 when the command line asks for a command (in `options`), or the
// exit status to end with at once: 0 after --help or --version, 2 after a
// usage error, whose message goes to `err`.
int parse_command_line(int argc, const char* const* argv, CliOptions& options, std::ostream& out,
                       std::ostream& err);
