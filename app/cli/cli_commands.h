// The command-line upgrader's two commands. Each returns the exit status.
#pragma once

#include <string>

#include "upgrade/firmware.h"

struct CliOptions;

// Upgrades with `image` through every port of `options` ("COMn", "\\.\COMn"
// or a device path) at once: with one port every text notice on standard
// output and the progress line on standard error when that is a terminal;
// with several, texts behind their port's name, a progress line per port and
// a summary; or JSON events. Ctrl-C cancels the way the dialog's Cancel does.
// 0 success, 1 failed or cancelled, 2 the record file cannot be opened, 3 a
// port could not be opened.
int cli_upgrade(const CliOptions& options, const FirmwareImage& image);

// Prints every COM port that has a device behind it, one per line:
// COMn<TAB>device<TAB>description. Returns 0.
int cli_list_ports();

// The COM name of the one port whose USB adapter has the serial number
// `serial`, into *name; or false with a line in *failure that names what
// was found when no port or more than one has it.
bool cli_find_usb_port(const std::string& serial, std::string* name, std::string* failure);
