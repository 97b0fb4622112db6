// One output form of the runs on one or more ports: plain texts, texts behind
// their port's name, JSON events, the progress line, the progress board, the
// summary table, the station record. The loop that runs the ports tells every
// sink the same typed events, in the order things happen, and one outcome per
// port at its end; each sink turns into output what concerns it and reads
// nothing another sink wrote. A port is named by its place in the command
// line's list (`run`), since one port may be given twice.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "app/runs/port_outcome.h"

// What names the unit a run upgrades, beside its port: the tag scanned off
// the unit (--tag), and in a station the slot it sits in. Empty and 0: none.
struct RunLabel {
  std::string tag;
  size_t slot = 0;
};

// Where a sink writes: standard output or error, or a test's string.
using WriteText = std::function<void(const std::string&)>;

class RunSink {
public:
  virtual ~RunSink() = default;

  // The port could not be opened; `failure` holds the lines that say why.
  // ended() follows.
  virtual void not_opened(size_t /*run*/, const std::string& /*failure*/) {}
  virtual void started(size_t /*run*/) {}
  // A status or failure text as the worker posted it ("\r\n" line ends).
  virtual void text(size_t /*run*/, const char* /*text*/, int32_t /*code*/, double /*now_s*/) {}
  virtual void progress(size_t /*run*/, int32_t /*permille*/, double /*now_s*/) {}
  // The first program chunk is about to go out.
  virtual void programming(size_t /*run*/, double /*now_s*/) {}
  // Ctrl-C: every run stops at its next progress message.
  virtual void cancelling() {}
  // The run's end notice never came; ended() follows.
  virtual void lost(size_t /*run*/) {}
  virtual void ended(size_t /*run*/, const PortOutcome& /*outcome*/, double /*now_s*/) {}
  // The loop looks round between notices, a few times a second at least.
  virtual void tick(double /*now_s*/) {}
  // Every run has ended; one outcome per port, in the command line's order.
  virtual void finish(const std::vector<PortOutcome>& /*outcomes*/, double /*now_s*/) {}
};
