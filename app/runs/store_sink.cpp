#include "app/runs/store_sink.h"

#include "app/runs/cli_ending.h"
#include "app/runs/record_json.h"

RunRow run_row(const RowContext& context, const std::string& port, const UsbIdentity& usb,
               const RunLabel& label, int64_t wall_ms) {
  RunRow row;
  row.run_id = record_uuid();
  row.station = context.station;
  row.slot = static_cast<int64_t>(label.slot);
  row.port = port;
  row.usb_location = usb.location;
  row.usb_serial = usb.serial;
  row.tag = label.tag;
  row.image_sha256 = context.image_sha256;
  row.image_size = context.image_size;
  row.load_address = context.load_address;
  row.image_source = context.image_source;
  row.program_version = context.program_version;
  row.started_at = record_utc_text(wall_ms);
  // A port or a firmware file's name past a column's limit would keep the
  // row from the line for good.
  record_fit(&row);
  return row;
}

void run_row_end(RunRow* row, const PortOutcome& outcome, int64_t wall_ms) {
  row->result = port_result_name(outcome.result);
  row->step = run_step_name(outcome.step);
  row->last_text = outcome.last_text;
  row->ended_at = record_utc_text(wall_ms);
  row->frames = outcome.frames_sent;
  row->retransmissions = outcome.retransmissions;
  record_fit(row);
}

void StoreSink::ended(size_t run, const PortOutcome& outcome, double /*now_s*/) {
  if (run >= rows_.size()) return;
  RunRow& row = rows_[run];
  run_row_end(&row, outcome, wall_ms_());
  const StoreResult written = store_.end(row);
  if (written.ok()) return;
  // Said once: the runs after it would only repeat it.
  if (problem_.empty()) err_(cli_error_line(written.reason));
  problem_ = written.reason;
}
