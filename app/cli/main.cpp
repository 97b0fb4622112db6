#include <iostream>

#include "app/cli/cli_commands.h"
#include "app/cli/cli_image.h"
#include "app/cli/cli_options.h"
#include "app/cli/console.h"
#include "app/runs/cli_ending.h"
#include "app/runs/run_record.h"
#include "upgrade/firmware.h"

namespace {

CliEnding run_command_line(int argc, char** argv) {
  CliOptions options;
  if (const std::optional<CliEnding> ending =
          parse_command_line(argc, argv, options, std::cout, std::cerr)) {
    return *ending;
  }
  if (options.list) return cli_list_ports();
  if (!options.command.empty()) return cli_records_command(options);

  // A file is read and checked whole before any port is opened.
  LoadedImage loaded;
  FirmwareImage image = firmware_image();
  if (!options.image.empty() || !options.release_key.empty()) {
    const CliEnding refused = cli_load_image(options, &loaded);
    if (refused.status != CliStatus::ok) return refused;
    if (!options.image.empty()) image = firmware_from_file(loaded);
  }
  if (options.info) {
    std::cout << cli_image_info(options.image, image_format_name(loaded.format), image)
              << cli_gap_lines(loaded) << std::flush;
    return {};
  }
  // Standard output carries only events with --json.
  (options.json ? std::cerr : std::cout) << cli_gap_lines(loaded) << std::flush;
  if (!options.serve.empty()) return cli_serve(options, image);
  return cli_upgrade(options, image);
}

} // namespace

int main(int argc, char** argv) {
  console_install_interrupt();
  // Record stores and record files hold who upgraded what: the user's alone.
  run_record_private_files();
  const CliEnding ending = run_command_line(argc, argv);
  if (!ending.reason.empty()) std::cerr << cli_error_line(ending.reason) << std::flush;
  return cli_exit_status(ending.status);
}
