#include "app/cli/cli_system.h"

#include <chrono>

#include "app/cli/cli_commands.h"
#include "app/cli/console.h"
#include "app/cli/notice_lines.h"
#include "serial/serial.h"

namespace {

double seconds_now() {
  using namespace std::chrono;
  return duration<double>(steady_clock::now().time_since_epoch()).count();
}

// usb:SERIAL and usb-port:LOCATION open the one port whose adapter has that
// serial number or sits in that socket; when there is none or more than one,
// nothing is opened.
PortOpening open_port(const std::string& name) {
  const UsbPortFound found = cli_resolve_port(name);
  if (found.status != UsbPortLookup::ok) return {0, found.reason + "\n"};
  PortOpening opening;
  const SerialOpening opened = serial_open_explained(found.name.c_str(), &opening.port);
  if (opened.result != 0)
    opening.failure = notice_lines(opened.text.c_str()) + notice_lines(opened.hint.c_str());
  return opening;
}

void close_port(PortHandle port) {
  char message[128] = "";
  serial_close(&port, message);
}

} // namespace

PortRunsSystem cli_port_runs_system() {
  PortRunsSystem system;
  system.open = open_port;
  system.close = close_port;
  system.interrupted = console_interrupted;
  system.now_s = seconds_now;
  return system;
}

RecordSystem cli_record_system() {
  RecordSystem record;
  // A port named by its adapter's USB serial number names it in the record too.
  record.usb_serial = cli_usb_serial_of;
  record.append = run_record_append;
  record.host = run_record_host;
  record.utc_now = run_record_utc_now;
  return record;
}

void cli_write(FILE* stream, const std::string& text) {
  if (text.empty()) return;
  std::fwrite(text.data(), 1, text.size(), stream);
  std::fflush(stream);
}
