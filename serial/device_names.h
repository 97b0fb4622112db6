// How COM names map to serial devices on Linux.
//
// A link named comN in the user's port-link folder
// (${XDG_CONFIG_HOME:-~/.config}/orvaload/dosdevices/) wins; it may point at
// any serial device, a pseudo-terminal included. Without a link, a fixed
// table applies:
//   COM1  - COM32  /dev/ttyS0   - /dev/ttyS31
//   COM33 - COM64  /dev/ttyUSB0 - /dev/ttyUSB31
//   COM65 - COM89  /dev/ttyACM0 - /dev/ttyACM24
#pragma once

#include <cstddef>

// The folders the mapping looks in; tests put fake ones in place.
struct DeviceRoots {
  const char* dev;   // device nodes, normally /dev
  const char* sys;   // sysfs, normally /sys
  const char* links; // the port-link folder; nullptr when there is none
};

// This machine's roots. `links` is the port-link folder, built into
// `buffer`; it is nullptr when neither XDG_CONFIG_HOME nor HOME names one.
DeviceRoots device_roots(char* buffer, size_t size);

// The device path of a port name: an absolute path stands for itself, a COM
// name goes through the link folder, then the table. For a link that leads
// somewhere the target's real path, for a dangling one the link's own path,
// so that opening it fails rather than falling back to the table.
bool device_resolve(const DeviceRoots& roots, const char* name, char* path, size_t size);

// Whether a real serial device stands behind COMn, n from 1 to 89: the link
// leads to a character device, or without a link the table's node is one.
// Legacy ttyS nodes count only when the kernel found a UART behind them.
bool device_exists(const DeviceRoots& roots, int number);
