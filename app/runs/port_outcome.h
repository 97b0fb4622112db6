// How one port's run ended, as the summary, the JSON events and the station
// record tell it.
#pragma once

#include <cstdint>
#include <string>

#include "upgrade/worker.h"

enum class PortResult : uint8_t { ok, failed, cancelled, not_opened };

// "ok", "failed", "cancelled", "not-opened": the words of the summary and the
// JSON fields; scripts rely on them.
const char* port_result_name(PortResult result);

// The hint after a run that never heard from its controller.
constexpr const char* NO_ANSWER_HINT =
    "the controller never answered: is the Data menu active on it? Then run again";

// "none", "reset", "erase", "program", "start": the record's words.
const char* run_step_name(RunStep step);

// The last text of a run whose end notice never came.
constexpr const char* LOST_RUN_TEXT = "the upgrade ended without a final report";

struct PortOutcome {
  std::string port;
  PortResult result = PortResult::failed;
  int exit_code = 1; // what the port alone would make the exit status
  // The run's last text as printed, lines joined by "\n", no final line end.
  std::string last_text;
  double seconds = 0;
  uint32_t frames_sent = 0;
  uint32_t retransmissions = 0;
  RunStep step = RunStep::none; // the part of the run it ended in
  // The first frame went out and nothing ever came back: no boot loader
  // listens (the controller's Data menu is not active), or the line is wrong.
  bool never_answered = false;
};

// A run that ended, from the worker's report. A run whose end notice the
// caller never received counts as lost, whatever the report says.
PortOutcome port_outcome(const std::string& port, const RunReport& report, bool end_notice_seen,
                         const std::string& last_text, double seconds);
// A port that could not be opened: `failure` holds the lines that said why.
PortOutcome port_not_opened(const std::string& port, const std::string& failure);

// A notice text as one printed block: every "\r\n" becomes "\n" and the
// final line end goes.
std::string text_block(const char* text);
