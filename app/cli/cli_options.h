// The command line of orvaload-cli.
#pragma once

#include <ostream>
#include <string>

struct CliOptions {
  std::string port; // empty with --list
  bool list = false;
};

// Returns -1 when the command line asks for a command (in `options`), or the
// exit status to end with at once: 0 after --help or --version, 2 after a
// usage error, whose message goes to `err`.
int parse_command_line(int argc, const char* const* argv, CliOptions& options, std::ostream& out,
                       std::ostream& err);
