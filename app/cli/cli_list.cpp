#include <cstdio>
#include <cstring>

#include "app/cli/cli_commands.h"
#include "app/cli/run_verdict.h"
#include "serial/serial.h"

int cli_list_ports() {
  for (int n = SERIAL_LIST_FIRST; n <= SERIAL_LIST_LAST; ++n) {
    if (!serial_port_exists(n)) continue;
    char device[SERIAL_PATH_SIZE] = "";
    char own_name[32];
    std::snprintf(own_name, sizeof own_name, "\\\\.\\COM%d", n);
    // On Windows the device is the port's own name; only a Linux device says more.
    if (serial_port_device(n, device, sizeof device) && std::strcmp(device, own_name) != 0) {
      std::printf("COM%d\t%s\n", n, device);
    } else {
      std::printf("COM%d\n", n);
    }
  }
  std::fflush(stdout);
  return CLI_EXIT_OK;
}
