// The COM ports that exist, as the dialog offers them and orvaload-cli
// --list prints them, with what the system knows of the adapter behind each.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

// What a USB adapter tells about itself; a field it does not report stays
// empty. All empty for a port that is not on USB.
struct UsbIdentity {
  std::string vendor_id;  // four hex digits, "10c4"
  std::string product_id; // four hex digits, "ea60"
  std::string manufacturer;
  std::string product;
  std::string serial;
  // The adapter's latency timer as the system keeps it (Windows: FTDI's
  // driver), in milliseconds; -1 where unknown.
  int latency_ms = -1;
  // Where the adapter is plugged in, stable while it stays in that socket:
  // the kernel's USB port path ("1-2.3") on Linux, the location Windows
  // reports for the device. Empty where unknown.
  std::string location{};
};

struct PortEntry {
  int number;         // the n of COMn
  std::string device; // a Linux device path, or the Windows device behind COMn
  UsbIdentity usb;
  std::string description; // usb_description(usb)
};

// Every COMn from SERIAL_LIST_FIRST to SERIAL_LIST_LAST with a serial device
// behind it, in rising order of n.
std::vector<PortEntry> serial_list_ports();

// "VID:PID manufacturer product serial=SERIAL usb-port=LOCATION" with what
// is known left out, or empty for a port that is not on USB.
std::string usb_description(const UsbIdentity& usb);

// The ports of `ports` whose adapter reports `value` in the field `key` of
// its identity (&UsbIdentity::serial, &UsbIdentity::location), one entry per
// device (a device reached under two COM numbers counts once, by its lowest
// number). An empty value matches none.
std::vector<PortEntry> ports_with_usb(const std::vector<PortEntry>& ports,
                                      std::string UsbIdentity::*key, const std::string& value);
inline std::vector<PortEntry> ports_with_usb_serial(const std::vector<PortEntry>& ports,
                                                    const std::string& serial) {
  return ports_with_usb(ports, &UsbIdentity::serial, serial);
}

// "COM1 (/dev/ttyS0), COM33 (/dev/ttyUSB0)", or "none" when `ports` is empty.
std::string port_names(const std::vector<PortEntry>& ports);

// For a port that is not there: "ports here: COM1 (/dev/ttyS0), ..." or
// "no serial port was found".
std::string ports_present_text();
