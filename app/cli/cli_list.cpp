#include <cstdio>
#include <string>

#include "app/cli/cli_commands.h"
#include "app/cli/run_verdict.h"
#include "serial/port_list.h"

int cli_list_ports() {
  for (const PortEntry& port : serial_list_ports()) {
    const std::string own_name = "\\\\.\\COM" + std::to_string(port.number);
    // On Windows the device is the port's own name; only a Linux device says more.
    if (!port.device.empty() && port.device != own_name) {
      std::printf("COM%d\t%s\n", port.number, port.device.c_str());
    } else {
      std::printf("COM%d\n", port.number);
    }
  }
  std::fflush(stdout);
  return CLI_EXIT_OK;
}
