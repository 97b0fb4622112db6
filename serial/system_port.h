// What each platform provides beneath serial_open and serial_close: an open
// device and the driver calls made on it. serial_open runs them in the order
// declared, so both platforms report the same result for the same step.
#pragma once

#include <cstdint>
#include <string>

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

// Why a port could not be opened, as far as the system tells.
enum class OpenFailure : uint8_t {
  none,
  no_name,    // the name leads to no device
  missing,    // no such device
  not_serial, // the device is no serial port
  busy,       // another program holds it
  denied,     // this user may not open it
  other,
};

// The device `name` leads to, opened exclusively for reading and writing; or
// no port and why not.
struct SystemOpen {
  SystemPort* port = nullptr;
  OpenFailure failure = OpenFailure::none;
};
SystemOpen system_port_open(const char* name);

// The words for a failure, the same on every platform, with what to do where
// there is something: "does not exist; ports here: ...", "is busy (held by
// another program)", and so on. Empty for none and no_name.
std::string open_failure_reason(OpenFailure failure);

// One line, no line end, on why `name` did not open with `failure`: the
// device tried and the reason. Says what the open met; opens nothing.
std::string system_port_hint(const char* name, OpenFailure failure);

struct PortEntry;

// Whether a serial device stands behind COMn (n from SERIAL_LIST_FIRST to
// SERIAL_LIST_LAST); if so, fills in the port's device and USB identity.
bool system_port_find(int number, PortEntry* port);
