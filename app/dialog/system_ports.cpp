#include "app/dialog/dialog_ports.h"
#include "app/dialog/orva_load_dlg.h"
#include "serial/port_list.h"
#include "serial/serial.h"

SerialOpening SystemPorts::open(const char* name, PortHandle* slot) {
  return serial_open_explained(name, slot);
}

uint8_t SystemPorts::close(PortHandle* slot, char* message) {
  return serial_close(slot, message);
}

std::vector<PortEntry> SystemPorts::list() {
  return serial_list_ports();
}

DialogPorts& system_ports() {
  static SystemPorts ports;
  return ports;
}
