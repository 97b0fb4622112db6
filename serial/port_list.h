// The COM ports that exist, as the dialog offers them and orvaload-cli
// --list prints them.
#pragma once

#include <string>
#include <vector>

struct PortEntry {
  int number;               // the n of COMn
  std::string device;       // what opening COMn opens: a Linux device path, or \\.\COMn
  std::string description;  // what the system tells about the adapter; often empty
};

// Every COMn from SERIAL_LIST_FIRST to SERIAL_LIST_LAST with a serial device
// behind it, in rising order of n.
std::vector<PortEntry> serial_list_ports();
