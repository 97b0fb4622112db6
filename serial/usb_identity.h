// What a serial port's USB adapter tells about itself, from the system's
// device database: udev on Linux, SetupAPI on Windows.
#pragma once

#include <string>

#include "serial/port_list.h"

// The identity of the adapter behind `port`, whose number and device are
// filled in; all fields empty when it is not on USB or the system does not
// know it. Linux asks udev about the device, Windows SetupAPI about COMn.
UsbIdentity usb_identity_of(const PortEntry& port);

// The ids and serial number a Windows device instance id carries:
// "USB\VID_10C4&PID_EA60\0001" or "FTDIBUS\VID_0403+PID_6001+A50285BI\0000".
// A generated instance (one with '&' in its last part) has no serial number.
UsbIdentity usb_identity_from_instance_id(const std::string& id);
