// Opening and closing the controller's COM port: 115200 8N1, no flow
// control, RTS off, read time-outs of 1 ms per byte plus 1 ms.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "link/port.h"

// Room a caller gives for the texts below; the longest takes 41 bytes.
constexpr int SERIAL_MESSAGE_SIZE = 64;

// The ports that are listed, COM1 to COM89 (serial_list_ports).
constexpr int SERIAL_LIST_FIRST = 1;
constexpr int SERIAL_LIST_LAST = 89;

// Room for a device path or a hint line.
constexpr size_t SERIAL_PATH_SIZE = 512;

// Opens `name` ("\\.\COMn", "COMn", or on Linux a device path) into *slot.
// Results: 0 open (message empty); 1 missing name/slot ("serial port internal
// parameters error!\r\n") or missing message (no text, slot untouched); 2 the
// open failed; 3..6 get state / get timeouts / set timeouts / set state
// failed. On every failure after step 2 the slot reads 0.
uint8_t serial_open(const char* name, PortHandle* slot, char* message);

// Closes the port in *slot. 0 when closed or when slot is missing; 1 with
// "failed to close handle\r\n" when the close is refused (a slot holding 0,
// or a handle that is not an open port of ours, such as one closed before).
// The slot itself is never changed; the caller sets it to 0.
uint8_t serial_close(PortHandle* slot, char* message);

// Where `name` leads: on Linux the device path that serial_open would open,
// on Windows the "\\.\COMn" name. False when the name is no port name at
// all (or the result does not fit in `size`).
bool serial_resolve_name(const char* name, char* path, size_t size);

// Whether a serial device stands behind `name` now (it may still be busy).
bool serial_port_present(const char* name);

// One line for a port whose adapter holds every answer for a latency timer
// above 2 ms (latency_hint.h), for an upgrade of about `answers` answers;
// empty for every other port. Always empty on Linux, where the open lowers
// the timer for the run.
std::string serial_latency_hint(const char* name, uint32_t answers);

// serial_open with all a front end shows when it fails: the dialog in its
// status box, orvaload-cli on standard error.
struct SerialOpening {
  uint8_t result = 0; // serial_open's result
  std::string text;   // serial_open's text, "...\r\n"; empty when open
  // Only when the open itself failed (result 2): one line, no line end, on
  // the device tried and why, from what that open met, and what to do. A
  // later step (3 to 6) found the device there and free, so a hint would
  // only mislead.
  std::string hint;
};
SerialOpening serial_open_explained(const char* name, PortHandle* slot);
