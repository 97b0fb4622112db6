// The JSON Lines events of `orvaload-cli --json`: one object per line, for
// station software. Field names and meanings are documented in the manual
// page and stay stable; new fields may be added, none renamed or dropped.
#pragma once

#include <cstdint>
#include <string>

#include "app/cli/port_outcome.h"

// Each returns one complete line, "\n" included.
std::string json_start_event(const std::string& port, uint32_t image_size, uint32_t load_address,
                             const std::string& image_sha256);
// `text` as the notice carried it; it is given as a printed block (see text_block).
std::string json_text_event(const std::string& port, const char* text, int32_t code);
std::string json_progress_event(const std::string& port, int32_t permille);
std::string json_end_event(const PortOutcome& outcome);

// Lets through the first progress value of a run and then each value that
// reaches a higher whole percent, so a run gives at most 101 progress events
// (the step back between erasing and programming shows none).
class ProgressGate {
public:
  bool pass(int32_t permille);

private:
  int32_t last_percent_ = -1;
};
