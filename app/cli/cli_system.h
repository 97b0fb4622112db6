// What the runs need from this computer, filled the same way for a command
// line's runs and for a station's: ports opened by name (usb:SERIAL and
// usb-port:LOCATION included), Ctrl-C, a steady clock, the record file, and
// writes that reach the terminal at once.
#pragma once

#include <cstdio>
#include <string>

#include "app/cli/port_runs.h"
#include "app/cli/run_record.h"

PortRunsSystem cli_port_runs_system();
RecordSystem cli_record_system();
void cli_write(FILE* stream, const std::string& text);
