#include <iostream>

#include "app/cli/cli_commands.h"
#include "app/cli/cli_image.h"
#include "app/cli/cli_options.h"
#include "app/cli/console.h"

int main(int argc, char** argv) {
  console_install_interrupt();
  CliOptions options;
  int status = parse_command_line(argc, argv, options, std::cout, std::cerr);
  if (status >= 0) return status;
  if (options.list) return cli_list_ports();

  // A file is read and checked whole before any port is opened.
  LoadedImage loaded;
  FirmwareImage image = firmware_image();
  if (!options.image.empty()) {
    status = cli_load_image(options, &loaded, std::cerr);
    if (status >= 0) return status;
    image = FirmwareImage{loaded.bytes.data(), static_cast<uint32_t>(loaded.bytes.size()),
                          loaded.load_address};
  }
  if (options.info) {
    std::cout << cli_image_info(options.image, image_format_name(loaded.format), image)
              << cli_gap_lines(loaded) << std::flush;
    return 0;
  }
  // Standard output carries only events with --json.
  (options.json ? std::cerr : std::cout) << cli_gap_lines(loaded) << std::flush;
  return cli_upgrade(options, image);
}
