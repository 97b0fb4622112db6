// What each platform provides beneath serial_open and serial_close: an open
// device and the driver calls made on it. serial_open runs them in the order
// declared, so both platforms report the same result for the same step.
#pragma once

#include "link/port.h"

class SystemPort : public SerialPort {
public:
  // Reads the present line settings.
  virtual bool get_state() = 0;
  // Reads the present time-outs.
  virtual bool get_timeouts() = 0;
  // Applies read and write time-outs of 1 ms (per byte, plus 1 ms).
  virtual bool set_timeouts() = 0;
  // Applies 115200 8N1, no flow control, RTS off.
  virtual bool set_state() = 0;
  // Releases the device; false when the system refused. Called once.
  virtual bool close() = 0;
};

// Opens the device `name` leads to, exclusively, for reading and writing.
// nullptr when that fails for any reason, the name included.
SystemPort* system_port_open(const char* name);

struct PortEntry;

// Whether a serial device stands behind COMn (n from SERIAL_LIST_FIRST to
// SERIAL_LIST_LAST); if so, fills in the port's device and USB identity.
bool system_port_find(int number, PortEntry* port);
