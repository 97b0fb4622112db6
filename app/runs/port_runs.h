// Upgrades on one or more ports at once: one worker per port, each run
// independent of the others. The loop opens the ports, passes each worker's
// notices on as typed events, ends each run and tells how it ended; what
// becomes of the events is the sinks' business (run_sink.h).
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "app/runs/cli_ending.h"
#include "app/runs/run_sink.h"
#include "link/port.h"
#include "upgrade/firmware.h"

// An open port, or the lines that say why there is none.
struct PortOpening {
  PortHandle port = 0;
  std::string failure; // with port 0: one or more lines, each ended by "\n"
};

// What the runs need from the system; the program and the tests fill it.
struct PortRunsSystem {
  std::function<PortOpening(const std::string& name)> open;
  std::function<void(PortHandle port)> close;
  std::function<bool()> interrupted; // Ctrl-C
  std::function<double()> now_s;     // a steady clock
};

// Opens each of `ports` in order and runs `image` (whose bytes stay valid
// until it returns) on every one that opened, all at once, telling `sinks`
// what happens; returns once every run has ended. ok when every run
// succeeded, no_port when any port could not be opened, failed otherwise.
CliStatus run_port_loop(const std::vector<std::string>& ports, const FirmwareImage& image,
                        const PortRunsSystem& system, const std::vector<RunSink*>& sinks);
