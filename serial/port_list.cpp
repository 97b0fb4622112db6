#include "serial/port_list.h"

#include <cstdio>

#include "serial/serial.h"
#include "serial/system_port.h"

bool serial_port_device(int number, char* path, size_t size) {
  char name[16];
  std::snprintf(name, sizeof name, "COM%d", number);
  return serial_resolve_name(name, path, size);
}

std::vector<PortEntry> serial_list_ports() {
  std::vector<PortEntry> ports;
  for (int n = SERIAL_LIST_FIRST; n <= SERIAL_LIST_LAST; ++n) {
    if (!system_port_exists(n)) continue;
    char device[SERIAL_PATH_SIZE] = "";
    serial_port_device(n, device, sizeof device);
    ports.push_back({n, device, ""});
  }
  return ports;
}
