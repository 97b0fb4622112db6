// The JSON Lines events of `orvaload-cli --json`: one object per line, for
// station software. Field names and meanings are documented in the manual
// page and stay stable; new fields may be added, none renamed or dropped.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "app/runs/port_outcome.h"
#include "app/runs/run_sink.h"
#include "upgrade/firmware.h"

// The events as objects, for a front end that adds fields of its own.
nlohmann::ordered_json json_start_object(const std::string& port, uint32_t image_size,
                                         uint32_t load_address, const std::string& image_sha256);
nlohmann::ordered_json json_text_object(const std::string& port, const char* text, int32_t code);
nlohmann::ordered_json json_progress_object(const std::string& port, int32_t permille);
nlohmann::ordered_json json_end_object(const PortOutcome& outcome);
// One line, "\n" included; invalid UTF-8 (port names come from the command
// line) is replaced rather than allowed to end the run with an exception.
std::string json_line(const nlohmann::ordered_json& object);

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

// The events as a sink: one line per event on standard output. A run's tag,
// when it has one, goes into its start and end events.
class JsonEvents final : public RunSink {
public:
  JsonEvents(WriteText out, std::vector<std::string> ports, const FirmwareImage& image,
             std::string image_sha256, std::vector<RunLabel> labels = {})
      : out_(std::move(out)),
        ports_(std::move(ports)),
        labels_(std::move(labels)),
        gates_(ports_.size()),
        image_size_(image.size),
        load_address_(image.load_address),
        image_sha256_(std::move(image_sha256)) {}
  void started(size_t run) override;
  void text(size_t run, const char* text, int32_t code, double now_s) override;
  void progress(size_t run, int32_t permille, double now_s) override;
  void ended(size_t run, const PortOutcome& outcome, double now_s) override;

private:
  std::string labelled(size_t run, nlohmann::ordered_json event) const;

  WriteText out_;
  std::vector<std::string> ports_;
  std::vector<RunLabel> labels_;
  std::vector<ProgressGate> gates_;
  uint32_t image_size_;
  uint32_t load_address_;
  std::string image_sha256_;
};
