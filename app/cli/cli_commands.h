// The command-line upgrader's two commands. Each returns the exit status.
#pragma once

#include "upgrade/firmware.h"

// One upgrade with `image` through `port_name` ("COMn",
// "\\.\COMn" or a device path): every text notice on standard output, the
// progress line on standard error when that is a terminal. Ctrl-C cancels
// the way the dialog's Cancel does. 0 success, 1 failed or cancelled, 3 the
// port could not be opened.
int cli_upgrade(const char* port_name, const FirmwareImage& image);

// Prints every COM port that has a device behind it, one per line. Returns 0.
int cli_list_ports();
