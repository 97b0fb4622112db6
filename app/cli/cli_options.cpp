#include "app/cli/cli_options.h"

#include <CLI/CLI.hpp>

#include "app/cli/run_verdict.h"

#ifndef ORVA_VERSION_TEXT
#error "the build defines ORVA_VERSION_TEXT"
#endif

namespace {

const char* const kDescription =
    "Upgrades the firmware of an ORVA controller through its boot loader, with the\n"
    "image built into this program. Activate the data menu on the controller first.\n";

const char* const kFooter =
    "PORT is COMn, \\\\.\\COMn or (Linux) a device path such as /dev/ttyUSB0.\n"
    "Every status text goes to standard output as the upgrade dialog shows it; the\n"
    "progress line goes to standard error when that is a terminal. Ctrl-C cancels:\n"
    "the run stops at its next progress message.\n"
    "\n"
    "Exit status:\n"
    "  0  the controller took the whole image and was told to start it\n"
    "     (last line \"Program success, starting application...\", no failure text)\n"
    "  1  the upgrade failed or was cancelled\n"
    "  2  bad usage\n"
    "  3  the port could not be opened (reason and hint on standard error)";

} // namespace

int parse_command_line(int argc, const char* const* argv, CliOptions& options, std::ostream& out,
                       std::ostream& err) {
  CLI::App app{kDescription, "orvaload-cli"};
  app.footer(kFooter);
  app.set_version_flag("-V,--version", ORVA_VERSION_TEXT, "Print the version and exit");
  app.add_option("-p,--port", options.port, "Serial port of the controller")->type_name("PORT");
  app.add_flag("-l,--list", options.list, "List the serial ports found and exit");

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    int status = app.exit(e, out, err);
    return status == 0 ? CLI_EXIT_OK : CLI_EXIT_USAGE;
  }
  if (options.list && !options.port.empty()) {
    err << "orvaload-cli: --list and --port do not go together\n";
    return CLI_EXIT_USAGE;
  }
  if (!options.list && options.port.empty()) {
    err << "orvaload-cli: give the controller's port with --port PORT, or --list\n"
        << "Run with --help for more information.\n";
    return CLI_EXIT_USAGE;
  }
  return -1;
}
