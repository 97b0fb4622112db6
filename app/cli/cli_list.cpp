#include <cstdio>
#include <string>
#include <vector>

#include "app/cli/cli_commands.h"
#include "serial/com_name.h"
#include "serial/port_list.h"
#include "serial/serial.h"

CliEnding cli_list_ports() {
  for (const PortEntry& port : serial_list_ports()) {
    std::printf("COM%d\t%s\t%s\n", port.number, port.device.c_str(), port.description.c_str());
  }
  std::fflush(stdout);
  return {};
}

namespace {

const std::string SERIAL_PREFIX = "usb:";
const std::string SOCKET_PREFIX = "usb-port:";

bool starts_with(const std::string& text, const std::string& prefix) {
  return text.compare(0, prefix.size(), prefix) == 0;
}

} // namespace

bool cli_is_usb_selector(const std::string& port) {
  return starts_with(port, SERIAL_PREFIX) || starts_with(port, SOCKET_PREFIX);
}

const PortEntry* cli_port_entry(const std::string& name, const std::vector<PortEntry>& ports) {
  const UsbPortFound found = cli_resolve_port(name, ports);
  if (found.status != UsbPortLookup::ok) return nullptr;
  const std::string& port = found.name;
  const int number = com_number(port.c_str());
  char path[SERIAL_PATH_SIZE] = "";
  serial_resolve_name(port.c_str(), path, sizeof path);
  for (const PortEntry& entry : ports) {
    if ((number != 0 && entry.number == number) || entry.device == path) return &entry;
  }
  return nullptr;
}

UsbIdentity cli_usb_identity(const std::string& port) {
  const std::vector<PortEntry> ports = serial_list_ports();
  const PortEntry* entry = cli_port_entry(port, ports);
  return entry != nullptr ? entry->usb : UsbIdentity{};
}

std::string cli_usb_serial_of(const std::string& port) {
  return starts_with(port, SERIAL_PREFIX) ? port.substr(SERIAL_PREFIX.size()) : "";
}

UsbPortFound cli_resolve_port(const std::string& port) {
  if (!cli_is_usb_selector(port)) return {UsbPortLookup::ok, port, ""};
  return cli_resolve_port(port, serial_list_ports());
}

UsbPortFound cli_resolve_port(const std::string& selector, const std::vector<PortEntry>& ports) {
  if (!cli_is_usb_selector(selector)) return {UsbPortLookup::ok, selector, ""};
  const bool by_socket = starts_with(selector, SOCKET_PREFIX);
  const std::string value = selector.substr((by_socket ? SOCKET_PREFIX : SERIAL_PREFIX).size());
  std::string UsbIdentity::*key = by_socket ? &UsbIdentity::location : &UsbIdentity::serial;
  const std::string what = by_socket ? "is plugged into USB port '" + value + "'"
                                     : "has USB serial number '" + value + "'";

  const std::vector<PortEntry> found = ports_with_usb(ports, key, value);
  if (found.size() == 1) {
    return {UsbPortLookup::ok, "COM" + std::to_string(found[0].number), ""};
  }
  if (found.size() > 1) {
    const std::string many = by_socket ? " ports are on USB port '" + value + "'"
                                       : " ports have USB serial number '" + value + "'";
    return {UsbPortLookup::several, "",
            std::to_string(found.size()) + many + ": " + port_names(found) +
                "; give one of them with --port COMn"};
  }
  std::vector<PortEntry> usb;
  for (const PortEntry& port : ports) {
    if (!port.usb.vendor_id.empty()) usb.push_back(port);
  }
  std::string text = "no port " + what + "; USB adapters here: ";
  if (usb.empty()) text += "none";
  for (size_t i = 0; i < usb.size(); ++i) {
    text += (i ? ", COM" : "COM") + std::to_string(usb[i].number) + " (" + usb[i].device;
    if (by_socket) {
      text += usb[i].usb.location.empty() ? ", socket unknown)"
                                          : ", usb-port=" + usb[i].usb.location + ")";
    } else {
      text +=
          usb[i].usb.serial.empty() ? ", no serial number)" : ", serial=" + usb[i].usb.serial + ")";
    }
  }
  return {UsbPortLookup::none, "", text};
}
