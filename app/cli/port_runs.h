// Upgrades on one or more ports at once: one worker per port, each run
// independent of the others, every notice shown as the options ask (plain
// texts, texts prefixed with the port, JSON events), a progress display on a
// terminal, a summary for several ports and a record line per run.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "app/cli/run_output.h"
#include "app/cli/run_record.h"
#include "link/port.h"
#include "upgrade/firmware.h"

struct PortRunsPlan {
  std::vector<std::string> ports; // in the order given; one run each
  bool json = false;              // JSON events on standard output instead of texts
  std::string log_path;           // where to append a record line per run; empty: none
  std::string image_sha256;       // of `image`, for the start events and the record
};

// What the runs need from the system; the program and the tests fill it.
struct PortRunsSystem {
  // Opens a port; on failure returns 0 with the lines to show in *failure.
  std::function<PortHandle(const std::string& name, std::string* failure)> open;
  std::function<void(PortHandle port)> close;
  std::function<bool()> interrupted; // Ctrl-C
  std::function<double()> now_s;     // a steady clock
  // The USB serial number of the device behind a port; empty when unknown.
  std::function<std::string(const std::string& name)> usb_serial;
  std::function<RecordAppend(const std::string& path, const std::string& line)> append_record;
  std::function<std::string()> host;
  std::function<std::string()> utc_now;
};

// Runs every port of `plan` with `image`, whose bytes stay valid until it
// returns, and returns the exit status: 0 when
// every run succeeded, 3 when any port could not be opened (the others still
// run), 1 when any run failed or was cancelled. With one port and no JSON the
// output is that of the single-port upgrader: texts as they are, no prefix,
// no summary.
int run_ports(const PortRunsPlan& plan, const FirmwareImage& image, const PortRunsSystem& system,
              const RunOutput& output);
