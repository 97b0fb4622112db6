#include <cstdio>
#include <string>
#include <vector>

#include "app/cli/cli_commands.h"
#include "serial/port_list.h"

CliEnding cli_list_ports() {
  for (const PortEntry& port : serial_list_ports()) {
    std::printf("COM%d\t%s\t%s\n", port.number, port.device.c_str(), port.description.c_str());
  }
  std::fflush(stdout);
  return {};
}

UsbPortFound cli_find_usb_port(const std::string& serial) {
  const std::vector<PortEntry> ports = serial_list_ports();
  const std::vector<PortEntry> found = ports_with_usb_serial(ports, serial);
  if (found.size() == 1) {
    return {UsbPortLookup::ok, "COM" + std::to_string(found[0].number), ""};
  }
  if (found.size() > 1) {
    return {UsbPortLookup::several, "",
            std::to_string(found.size()) + " ports have USB serial number '" + serial +
                "': " + port_names(found) + "; give one of them with --port COMn"};
  }
  std::vector<PortEntry> usb;
  for (const PortEntry& port : ports) {
    if (!port.usb.vendor_id.empty()) usb.push_back(port);
  }
  std::string text = "no port has USB serial number '" + serial + "'; USB adapters here: ";
  if (usb.empty()) text += "none";
  for (size_t i = 0; i < usb.size(); ++i) {
    text += (i ? ", COM" : "COM") + std::to_string(usb[i].number) + " (" + usb[i].device;
    text +=
        usb[i].usb.serial.empty() ? ", no serial number)" : ", serial=" + usb[i].usb.serial + ")";
  }
  return {UsbPortLookup::none, "", text};
}
