// The JSON Lines events of `orvaload-cli --json`: one object per line, for
// station software. Field names and meanings are documented in the manual
// page and stay stable; new fields may be added, none renamed or dropped.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "app/cli/port_outcome.h"
#include "app/cli/run_sink.h"
#include "upgrade/firmware.h"

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

// The events as a sink: one line per event on standard output.
class JsonEvents final : public RunSink {
public:
  JsonEvents(WriteText out, std::vector<std::string> ports, const FirmwareImage& image,
             std::string image_sha256)
      : out_(std::move(out)),
        ports_(std::move(ports)),
        gates_(ports_.size()),
        image_size_(image.size),
        load_address_(image.load_address),
        image_sha256_(std::move(image_sha256)) {}
  void started(size_t run) override;
  void text(size_t run, const char* text, int32_t code, double now_s) override;
  void progress(size_t run, int32_t permille, double now_s) override;
  void ended(size_t run, const PortOutcome& outcome, double now_s) override;

private:
  WriteText out_;
  std::vector<std::string> ports_;
  std::vector<ProgressGate> gates_;
  uint32_t image_size_;
  uint32_t load_address_;
  std::string image_sha256_;
};
