#include "serial/port_list.h"

#include "serial/serial.h"
#include "serial/system_port.h"

std::vector<PortEntry> serial_list_ports() {
  std::vector<PortEntry> ports;
  for (int n = SERIAL_LIST_FIRST; n <= SERIAL_LIST_LAST; ++n) {
    PortEntry port{n, "", {}, ""};
    if (!system_port_find(n, &port)) continue;
    port.description = usb_description(port.usb);
    ports.push_back(port);
  }
  return ports;
}

std::string usb_description(const UsbIdentity& usb) {
  std::string text;
  const auto add = [&text](const std::string& part) {
    if (part.empty()) return;
    if (!text.empty()) text += ' ';
    text += part;
  };
  if (!usb.vendor_id.empty() && !usb.product_id.empty()) {
    add(usb.vendor_id + ":" + usb.product_id);
  }
  add(usb.manufacturer);
  add(usb.product);
  if (!usb.serial.empty()) add("serial=" + usb.serial);
  if (!usb.location.empty()) add("usb-port=" + usb.location);
  return text;
}

std::vector<PortEntry> ports_with_usb(const std::vector<PortEntry>& ports,
                                      std::string UsbIdentity::*key, const std::string& value) {
  std::vector<PortEntry> found;
  for (const PortEntry& port : ports) {
    if (value.empty() || port.usb.*key != value) continue;
    bool seen = false;
    for (const PortEntry& other : found) seen = seen || other.device == port.device;
    if (!seen) found.push_back(port);
  }
  return found;
}

std::string ports_present_text() {
  const std::vector<PortEntry> ports = serial_list_ports();
  return ports.empty() ? "no serial port was found" : "ports here: " + port_names(ports);
}

std::string port_names(const std::vector<PortEntry>& ports) {
  std::string text;
  for (const PortEntry& port : ports) {
    if (!text.empty()) text += ", ";
    text += "COM" + std::to_string(port.number);
    if (!port.device.empty()) text += " (" + port.device + ")";
  }
  return text.empty() ? "none" : text;
}
