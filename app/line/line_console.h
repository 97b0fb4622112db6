// The commands of orvaload-line that the line's machine runs against the
// line's database instead of serving: whoever may run them there acts as the
// line's admin, and each change is an entry of the line's audit trail in the
// name of the system's user. Each prints what it made or found on standard
// output and its refusal, in one line, on standard error.
//
//   orvaload-line [--db URL] credential add station|viewer NAME
//   orvaload-line [--db URL] credential list
//   orvaload-line [--db URL] credential revoke NAME
//   orvaload-line [--db URL] person add NAME --role ROLE
//   orvaload-line [--db URL] person list
//   orvaload-line [--db URL] person disable NAME
//   orvaload-line [--db URL] person reset NAME
//   orvaload-line [--db URL] audit verify
//   orvaload-line [--db URL] firmware add FILE --product P --version V [--signature SIGFILE]
//   orvaload-line [--db URL] firmware release ID [--max-units N]
//   orvaload-line [--db URL] firmware withdraw ID --reason TEXT
//   orvaload-line [--db URL] firmware list
#pragma once

#include <ostream>
#include <string>

#include <CLI/CLI.hpp>

#include "app/line/firmware_catalogue.h"
#include "app/line/line_db.h"

// Exit statuses of a command, as the man page lists them.
constexpr int LINE_COMMAND_DONE = 0;
constexpr int LINE_COMMAND_REFUSED = 1; // the reason on standard error

struct LineCommand {
  std::string what; // "credential add" and so on; empty: none was given
  std::string role;
  std::string name;
  // firmware ...
  std::string file;
  std::string product;
  std::string version;
  std::string notes;
  std::string signature_file;
  std::string address;
  int64_t image = 0;
  int64_t max_units = 0;
  std::string reason;
};

// Adds the commands to `app`; the one given is filled into *command.
void line_commands_add(CLI::App& app, LineCommand* command);

// Runs the command against `db`, firmware by `rules`.
int line_command_run(const LineCommand& command, LineDb& db, const FirmwareRules& rules,
                     std::ostream& out, std::ostream& err);
