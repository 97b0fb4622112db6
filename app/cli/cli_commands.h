// The command-line upgrader's two commands. Each returns how the program ends.
#pragma once

#include <string>
#include <vector>

#include "app/runs/cli_ending.h"
#include "serial/port_list.h"
#include "upgrade/firmware.h"

struct CliOptions;

// Upgrades with `image` through every port of `options` ("COMn", "\\.\COMn",
// a device path, or usb:SERIAL) at once: with one port every text notice on
// standard output and the progress line on standard error when that is a
// terminal; with several, texts behind their port's name, a progress line per
// port and a summary; or JSON events. Ctrl-C cancels the way the dialog's
// Cancel does. usage when the record file cannot be opened, record_lost when
// every run succeeded but a record line could not be written.
CliEnding cli_upgrade(const CliOptions& options, const FirmwareImage& image);

// Serves the ports of `options` as a station's slots (--serve) until Ctrl-C
// or SIGTERM: usage for a bad address or token, or an address other than
// 127.0.0.1 without a token; no_port when the address cannot be listened
// on; ok once the station has ended.
CliEnding cli_serve(const CliOptions& options, const FirmwareImage& image);

// A command on the record store of --records: the people of a station
// without a line (person add, list, disable, reset) and the check of its
// audit trail (audit verify). failed when refused or when a chain is broken.
CliEnding cli_records_command(const CliOptions& options);

// Prints every COM port that has a device behind it, one per line:
// COMn<TAB>device<TAB>description.
CliEnding cli_list_ports();

enum class UsbPortLookup : uint8_t { ok, none, several };

// The one port a USB selector names.
struct UsbPortFound {
  UsbPortLookup status = UsbPortLookup::ok;
  std::string name;   // "COMn", with ok
  std::string reason; // otherwise: one line that names what was found
};

// Whether `port` names a port by its USB adapter: usb:SERIAL (the adapter's
// serial number) or usb-port:LOCATION (the socket it is plugged into, as
// --list shows it).
bool cli_is_usb_selector(const std::string& port);
// The port a --port names: for a USB selector the one port of `ports` whose
// adapter it names, for any other name the name itself.
UsbPortFound cli_resolve_port(const std::string& port, const std::vector<PortEntry>& ports);
// The same among the ports there are now; looks for none when it need not.
UsbPortFound cli_resolve_port(const std::string& port);
// The entry of `ports` a --port stands for; nullptr when none.
const PortEntry* cli_port_entry(const std::string& port, const std::vector<PortEntry>& ports);
// The USB identity of the adapter behind a --port; empty when unknown.
UsbIdentity cli_usb_identity(const std::string& port);
// SERIAL of usb:SERIAL; empty for any other port name.
std::string cli_usb_serial_of(const std::string& port);
