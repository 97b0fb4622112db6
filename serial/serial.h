// Opening and closing the controller's COM port: 115200 8N1, no flow
// control, RTS off, read time-outs of 1 ms per byte plus 1 ms.
#pragma once

#include <cstdint>

#include "serial/port.h"

// Room a caller gives for the texts below; the longest takes 41 bytes.
constexpr int SERIAL_MESSAGE_SIZE = 64;

// Opens `name` ("\\.\COMn", "COMn", or on Linux a device path) into *slot.
// Results: 0 open (message empty); 1 missing name/slot ("serial port internal
// parameters error!\r\n") or missing message (no text, slot untouched); 2 the
// open failed; 3..6 get state / get timeouts / set timeouts / set state
// failed. On every failure after step 2 the slot reads 0.
uint8_t serial_open(const char* name, PortHandle* slot, char* message);

// Closes the port in *slot. 0 when closed or when slot is missing; 1 with
// "failed to close handle\r\n" when the close is refused (a slot holding 0).
// The slot itself is never changed; the caller sets it to 0.
uint8_t serial_close(PortHandle* slot, char* message);

// Whether a serial device stands behind COMn (n from 1 to 89).
bool serial_port_exists(int number);
