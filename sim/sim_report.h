// What a simulated controller saw during a session, and its JSON form.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "sim/sim_flash.h"

// How a request was answered.
enum class SimAnswerKind : uint8_t {
  ack,
  nak,
  none,         // silence, or the line dropped
  bad_checksum, // the malformed answers of the faults
  bad_command,
  no_etx,
  bad_length,
  double_ack,
};

struct SimFrameRecord {
  uint32_t index = 0; // request number, from 1
  uint8_t sequence = 0;
  uint8_t command = 0;
  uint16_t length = 0;
  std::string payload_head; // first bytes of the payload, lower-case hex
  std::string problem;      // empty for a well-formed request
  SimAnswerKind answer = SimAnswerKind::ack;
  uint8_t error = 0; // device error code of the acknowledgement
};

struct SimReport {
  std::vector<SimFrameRecord> frames;
  uint32_t progress = 0, erase = 0, program = 0, jump = 0, malformed = 0;
  std::vector<uint8_t> percents;
  std::vector<std::string> violations;
  uint32_t runs = 0; // progress-0 requests that began a run
  bool jumped = false;
  uint32_t jump_address = 0;
};

// Shown in the report for each answer kind.
const char* sim_answer_name(SimAnswerKind kind);

// The report as a JSON object. `image` is null when no image was expected;
// `end` (may be empty) says why the session ended.
std::string sim_report_json(const SimReport& report, const SimFlash& flash,
                            const SimImageCheck* image, uint32_t load_address, uint32_t image_size,
                            const std::string& end);
