// The words for each way an open fails, the same on every platform.
#include "serial/port_list.h"
#include "serial/system_port.h"

std::string open_failure_reason(OpenFailure failure) {
  switch (failure) {
  case OpenFailure::missing:
    return "does not exist; " + ports_present_text();
  case OpenFailure::not_serial:
    return "is not a serial port";
  case OpenFailure::busy:
    return "is busy (held by another program)";
  case OpenFailure::denied:
    return "is not accessible (the user needs to be in the dialout group)";
  case OpenFailure::other:
    return "could not be opened";
  case OpenFailure::none:
  case OpenFailure::no_name:
    break;
  }
  return "";
}
