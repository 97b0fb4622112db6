#include <iostream>

#include "app/cli/cli_commands.h"
#include "app/cli/cli_options.h"
#include "app/cli/console.h"

int main(int argc, char** argv) {
  console_install_interrupt();
  CliOptions options;
  int status = parse_command_line(argc, argv, options, std::cout, std::cerr);
  if (status >= 0) return status;
  if (options.list) return cli_list_ports();
  return cli_upgrade(options.port.c_str());
}
