#include <cstdio>
#include <string>
#include <vector>

#include "app/cli/cli_commands.h"
#include "app/cli/cli_options.h"
#include "app/cli/cli_system.h"
#include "app/cli/console.h"
#include "app/cli/run_outputs.h"
#include "app/runs/run_record.h"
#include "image/sha256.h"
#include "serial/serial.h"
#include "upgrade/firmware.h"
#include "upgrade/sequence.h"

namespace {

// An FTDI adapter on Windows holds every answer for its latency timer: the
// user hears once, before the run, what that costs and where to change it.
void tell_latency(const std::vector<std::string>& ports, const FirmwareImage& image) {
  for (const std::string& name : ports) {
    const UsbPortFound found = cli_resolve_port(name);
    if (found.status != UsbPortLookup::ok) continue; // the run says why
    const std::string hint = serial_latency_hint(found.name.c_str(), upgrade_answers(image));
    if (!hint.empty()) cli_write(stderr, cli_error_line(hint));
  }
}

} // namespace

CliEnding cli_upgrade(const CliOptions& options, const FirmwareImage& image) {
  PortRunsPlan plan;
  plan.ports = options.ports;
  plan.json = options.json;
  plan.log_path = options.log_path;
  plan.tags = options.tags;
  if (options.json || !options.log_path.empty() || !options.records_path.empty()) {
    plan.image_sha256 = sha256_hex(sha256(image.bytes, image.size));
  }
  // A station must not upgrade controllers it cannot keep a record of.
  if (!options.log_path.empty()) {
    const RecordAppend opened = run_record_append(options.log_path, "");
    if (!opened.ok()) return {CliStatus::usage, opened.reason};
  }

  // Every run's row is in the store before any port is opened.
  StoreOpening records;
  if (!options.records_path.empty()) {
    records = cli_open_records(options.records_path);
    if (!records.store) return {CliStatus::usage, records.reason};
    const RowContext context = cli_row_context(options, image, plan.image_sha256);
    for (size_t i = 0; i < plan.ports.size(); ++i) {
      const RunLabel label{i < plan.tags.size() ? plan.tags[i] : "", 0};
      RunRow row =
          run_row(context, plan.ports[i], cli_usb_identity(plan.ports[i]), label, cli_wall_ms());
      const StoreResult begun = records.store->begin(&row);
      if (!begun.ok()) {
        // The rows already kept say that their runs never began.
        for (RunRow& kept : plan.rows) {
          PortOutcome never = port_not_opened(kept.port, "nothing was sent: " + begun.reason);
          run_row_end(&kept, never, cli_wall_ms());
          records.store->end(kept);
        }
        return {CliStatus::usage, begun.reason + "; nothing was sent"};
      }
      plan.rows.push_back(row);
    }
    plan.store = records.store.get();
    plan.wall_ms = cli_wall_ms;
  }

  tell_latency(plan.ports, image);

  RunOutput output;
  // A run's texts, one per exchange, go to standard output together once per
  // pass of the run loop; a terminal still takes each line as it ends. What
  // goes to standard error finds all before it written.
  output.out = [](const std::string& text) { std::fwrite(text.data(), 1, text.size(), stdout); };
  output.err = [](const std::string& text) {
    std::fflush(stdout);
    cli_write(stderr, text);
  };
  output.flush = [] { std::fflush(stdout); };
  output.out_is_terminal = console_stdout_is_terminal();
  output.err_is_terminal = console_stderr_is_terminal();
  if (output.err_is_terminal && plan.ports.size() > 1) {
    output.err_moves_cursor = console_stderr_moves_cursor();
    output.columns = console_stderr_columns();
  }
  return {run_ports(plan, image, cli_port_runs_system(), cli_record_system(), output), ""};
}
