#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "app/cli/cli_commands.h"
#include "app/cli/cli_options.h"
#include "app/cli/console.h"
#include "app/cli/notice_lines.h"
#include "app/cli/run_outputs.h"
#include "app/cli/run_record.h"
#include "image/sha256.h"
#include "serial/serial.h"
#include "upgrade/firmware.h"
#include "upgrade/sequence.h"

namespace {

double seconds_now() {
  using namespace std::chrono;
  return duration<double>(steady_clock::now().time_since_epoch()).count();
}

void write_all(FILE* stream, const std::string& text) {
  if (text.empty()) return;
  std::fwrite(text.data(), 1, text.size(), stream);
  std::fflush(stream);
}

// usb:SERIAL and usb-port:LOCATION open the one port whose adapter has that
// serial number or sits in that socket; when there is none or more than one,
// nothing is opened.
PortOpening open_port(const std::string& name) {
  std::string device = name;
  if (cli_is_usb_selector(name)) {
    const UsbPortFound found = cli_find_usb_port(name);
    if (found.status != UsbPortLookup::ok) return {0, found.reason + "\n"};
    device = found.name;
  }
  PortOpening opening;
  const SerialOpening opened = serial_open_explained(device.c_str(), &opening.port);
  if (opened.result != 0)
    opening.failure = notice_lines(opened.text.c_str()) + notice_lines(opened.hint.c_str());
  return opening;
}

void close_port(PortHandle port) {
  char message[128] = "";
  serial_close(&port, message);
}

// An FTDI adapter on Windows holds every answer for its latency timer: the
// user hears once, before the run, what that costs and where to change it.
void tell_latency(const std::vector<std::string>& ports, const FirmwareImage& image) {
  for (const std::string& name : ports) {
    std::string device = name;
    if (cli_is_usb_selector(name)) {
      const UsbPortFound found = cli_find_usb_port(name);
      if (found.status != UsbPortLookup::ok) continue; // the run says why
      device = found.name;
    }
    const std::string hint = serial_latency_hint(device.c_str(), upgrade_answers(image));
    if (!hint.empty()) write_all(stderr, cli_error_line(hint));
  }
}

} // namespace

CliEnding cli_upgrade(const CliOptions& options, const FirmwareImage& image) {
  PortRunsPlan plan;
  plan.ports = options.ports;
  plan.json = options.json;
  plan.log_path = options.log_path;
  if (options.json || !options.log_path.empty()) {
    plan.image_sha256 = sha256_hex(sha256(image.bytes, image.size));
  }
  // A station must not upgrade controllers it cannot keep a record of.
  if (!options.log_path.empty()) {
    const RecordAppend opened = run_record_append(options.log_path, "");
    if (!opened.ok()) return {CliStatus::usage, opened.reason};
  }

  PortRunsSystem system;
  system.open = open_port;
  system.close = close_port;
  system.interrupted = console_interrupted;
  system.now_s = seconds_now;

  RecordSystem record;
  // A port named by its adapter's USB serial number names it in the record too.
  record.usb_serial = cli_usb_serial_of;
  record.append = run_record_append;
  record.host = run_record_host;
  record.utc_now = run_record_utc_now;

  tell_latency(plan.ports, image);

  RunOutput output;
  output.out = [](const std::string& text) { write_all(stdout, text); };
  output.err = [](const std::string& text) { write_all(stderr, text); };
  output.out_is_terminal = console_stdout_is_terminal();
  output.err_is_terminal = console_stderr_is_terminal();
  if (output.err_is_terminal && plan.ports.size() > 1) {
    output.err_moves_cursor = console_stderr_moves_cursor();
    output.columns = console_stderr_columns();
  }
  return {run_ports(plan, image, system, record, output), ""};
}
