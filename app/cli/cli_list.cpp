#include <cstdio>

#include "app/cli/cli_commands.h"
#include "app/cli/run_verdict.h"
#include "serial/serial.h"

int cli_list_ports() {
  for (int n = SERIAL_LIST_FIRST; n <= SERIAL_LIST_LAST; ++n) {
    if (!serial_port_exists(n)) continue;
    char device[SERIAL_PATH_SIZE] = "";
    if (serial_port_device(n, device, sizeof device)) {
      std::printf("COM%d\t%s\n", n, device);
    } else {
      std::printf("COM%d\n", n);
    }
  }
  std::fflush(stdout);
  return CLI_EXIT_OK;
}
