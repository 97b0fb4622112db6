#include "app/dialog/dialog_ports.h"
#include "app/dialog/orva_load_dlg.h"
#include "serial/port_list.h"
#include "serial/serial.h"

uint8_t SystemPorts::open(const char* name, PortHandle* slot, char* message) {
  return serial_open(name, slot, message);
}

uint8_t SystemPorts::close(PortHandle* slot, char* message) {
  return serial_close(slot, message);
}

std::vector<PortEntry> SystemPorts::list() {
  return serial_list_ports();
}

std::string SystemPorts::hint(const char* name) {
  char text[SERIAL_PATH_SIZE] = "";
  serial_open_hint(name, text, sizeof text);
  return text;
}

DialogPorts& system_ports() {
  static SystemPorts ports;
  return ports;
}
