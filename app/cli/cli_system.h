// What the runs need from this computer, filled the same way for a command
// line's runs and for a station's: ports opened by name (usb:SERIAL and
// usb-port:LOCATION included), Ctrl-C, a steady clock, the record file, and
// writes that reach the terminal at once.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

#include "app/runs/port_runs.h"
#include "app/runs/run_record.h"
#include "app/runs/store_sink.h"
#include "records/record_store.h"
#include "upgrade/firmware.h"

struct CliOptions;

PortRunsSystem cli_port_runs_system();
RecordSystem cli_record_system();

// The record store at `path`, its folder made when missing; the reason when
// there is none.
struct StoreOpening {
  std::unique_ptr<RecordStore> store;
  std::string reason;
};
StoreOpening cli_open_records(const std::string& path);
// A station's store when not given --records: records-NAME.db in the state
// folder, its own. A records.db there that already holds runs of this
// station (one made before stations had stores of their own) is used on,
// so that none of its rows is left behind.
StoreOpening cli_open_station_records(const std::string& station);
// What every row of this program's runs shares.
RowContext cli_row_context(const CliOptions& options, const FirmwareImage& image,
                           const std::string& image_sha256);
// Milliseconds since the epoch.
int64_t cli_wall_ms();
// The file name of --image, or "built-in".
std::string cli_image_source(const std::string& path);

void cli_write(FILE* stream, const std::string& text);
