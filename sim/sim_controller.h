// The simulated controller's boot loader: bytes from the host in, answers
// out, each with the time by which a real line and flash would delay it.
// No I/O, no threads, no clock: the in-process line and the pseudo-terminal
// program both drive this one core.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "sim/sim_config.h"
#include "sim/sim_flash.h"
#include "sim/sim_frame.h"
#include "sim/sim_report.h"

struct SimAnswer {
  uint32_t request = 0;        // the request it answers, from 1
  uint8_t request_command = 0; // that request's command byte
  std::vector<uint8_t> bytes;  // written to the host in one piece
  uint32_t delay_us = 0;       // wire and flash time before it is due
  bool byte_at_a_time = false; // deliver one byte per read
};

class SimController {
public:
  explicit SimController(SimConfig config);

  // Takes bytes the host wrote and appends one answer for every request
  // that gets one (answers may be null). Does nothing once the line has
  // been dropped.
  void feed(const uint8_t* data, size_t size, std::vector<SimAnswer>* answers);

  // Whether a frame has begun and not ended.
  bool in_frame() const;
  // Forgets a partial frame, e.g. when the host went away in the middle of
  // one; notes it as a violation with `why`.
  void drop_partial_frame(const std::string& why);
  // Notes something the host did wrong that only the line's driver can see.
  void note_violation(const std::string& text);

  bool line_closed() const { return closed_; }
  uint32_t requests() const { return requests_; }
  const SimReport& report() const { return report_; }
  const SimFlash& flash() const { return flash_; }
  const SimConfig& config() const { return config_; }

  // Whether an image was given and the flash holds it at the load address.
  bool image_matches() const;
  std::string report_json(const std::string& end = "") const;

private:
  struct SequenceModel {
    bool tracking = false; // a run's numbering is known
    uint8_t counter = 0;   // the host's counter as it must stand
    uint8_t pending = 0;   // number the host gave its queued message
    bool after_refusal = false;
    uint32_t refusals_in_row = 0;
    uint32_t refused_index = 0;
    SimFrame refused{};
  };

  void handle(SimParseEvent event, std::vector<SimAnswer>* answers);
  SimFrameRecord record_request(SimParseEvent event, uint32_t index);
  SimAnswerKind choose_answer(const SimFrame& f, uint32_t index, bool well_formed, uint8_t* code,
                              bool* carried_out);
  std::string check_request(SimParseEvent event, const SimFrame& f) const;
  bool check_sequence(const SimFrame& f, uint32_t index);
  void update_sequence(const SimFrame& f, uint32_t index, SimAnswerKind answer, bool repeated);
  uint8_t carry_out(const SimFrame& f);
  const SimFault* fault_at(SimFaultKind kind, uint32_t index) const;
  bool silent_at(uint32_t index) const;
  void build_answer(const SimFrame& f, SimAnswerKind kind, uint8_t code, SimAnswer* answer) const;
  uint32_t delay_us(size_t request_bytes, size_t answer_bytes, uint8_t command,
                    bool carried_out) const;
  void violation(const std::string& text);

  SimConfig config_;
  SimParser parser_;
  SimFlash flash_;
  SimReport report_;
  SequenceModel seq_;
  uint32_t requests_ = 0;
  bool closed_ = false;
};
