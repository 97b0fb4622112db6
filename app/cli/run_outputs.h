// The runs of one command line with the output forms it asks for: picked
// once, from the options and from what the terminals allow, then fed by the
// loop of port_runs.h.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "app/cli/run_output.h"
#include "app/runs/cli_ending.h"
#include "app/runs/port_runs.h"
#include "app/runs/run_record.h"
#include "records/record_store.h"
#include "upgrade/firmware.h"

struct PortRunsPlan {
  std::vector<std::string> ports; // in the order given; one run each
  bool json = false;              // JSON events on standard output instead of texts
  std::string log_path;           // where to append a record line per run; empty: none
  std::string image_sha256;       // of the image, for the start events and the record
  std::vector<std::string> tags;  // one per port, or none
  // The record store and each port's committed row, in order; none: nullptr.
  RecordStore* store = nullptr;
  std::vector<RunRow> rows;
  std::function<int64_t()> wall_ms; // with a store
};

// Runs every port of `plan` with `image`, whose bytes stay valid until it
// returns; returns as run_port_loop does, except record_lost when every run
// succeeded but a record line could not be written. With one port and no JSON the
// output is that of the single-port upgrader: texts as they are, no prefix,
// no summary.
CliStatus run_ports(const PortRunsPlan& plan, const FirmwareImage& image,
                    const PortRunsSystem& system, const RecordSystem& record,
                    const RunOutput& output);
