// Opening and closing the controller's COM port: 115200 8N1, no flow
// control, RTS off, read time-outs of 1 ms per byte plus 1 ms.
#pragma once

#include <cstddef>
#include <cstdint>

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

// The device behind COMn, for listing ports; false when n names none.
bool serial_port_device(int number, char* path, size_t size);

// One line (no line end) saying why `name` may not have opened: the device
// tried and, where the system tells, whether it is missing, busy or not
// accessible. The reason is the one the last serial_open of that device on
// this thread met; the device is not opened again to find it. Always
// terminates `out` when size > 0.
void serial_open_hint(const char* name, char* out, size_t size);
