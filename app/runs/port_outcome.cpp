#include "app/runs/port_outcome.h"

#include "app/runs/cli_ending.h"
#include "app/runs/notice_lines.h"
#include "upgrade/worker.h"

namespace {

CliStatus status_of(PortResult result) {
  switch (result) {
  case PortResult::ok:
    return CliStatus::ok;
  case PortResult::not_opened:
    return CliStatus::no_port;
  case PortResult::failed:
  case PortResult::cancelled:
    break;
  }
  return CliStatus::failed;
}

PortOutcome outcome(const std::string& port, PortResult result, const std::string& last_text) {
  PortOutcome o;
  o.port = port;
  o.result = result;
  o.exit_code = cli_exit_status(status_of(result));
  o.last_text = last_text;
  return o;
}

} // namespace

const char* port_result_name(PortResult result) {
  switch (result) {
  case PortResult::ok:
    return "ok";
  case PortResult::failed:
    return "failed";
  case PortResult::cancelled:
    return "cancelled";
  case PortResult::not_opened:
    return "not-opened";
  }
  return "failed";
}

PortOutcome port_outcome(const std::string& port, const RunReport& report, bool end_notice_seen,
                         const std::string& last_text, double seconds) {
  const RunEnding ending = end_notice_seen ? report.ending : RunEnding::lost;
  PortOutcome o = ending == RunEnding::ok          ? outcome(port, PortResult::ok, last_text)
                  : ending == RunEnding::cancelled ? outcome(port, PortResult::cancelled, last_text)
                  : ending == RunEnding::lost ? outcome(port, PortResult::failed, LOST_RUN_TEXT)
                                              : outcome(port, PortResult::failed, last_text);
  o.seconds = seconds;
  o.frames_sent = report.frames_sent;
  o.never_answered = ending == RunEnding::failed && report.timed_out && report.frames_sent == 1 &&
                     report.retransmissions == 0;
  o.retransmissions = report.retransmissions;
  o.step = report.step;
  return o;
}

// The open's reason is the line after "serial port open failed!", when the
// failure has one: what the operator needs to read first.
PortOutcome port_not_opened(const std::string& port, const std::string& failure) {
  const size_t first_end = failure.find('\n');
  std::string reason = failure.substr(0, first_end);
  if (first_end != std::string::npos && first_end + 1 < failure.size()) {
    const std::string second = failure.substr(first_end + 1);
    reason = second.substr(0, second.find('\n'));
  }
  return outcome(port, PortResult::not_opened, reason);
}

const char* run_step_name(RunStep step) {
  switch (step) {
  case RunStep::reset:
    return "reset";
  case RunStep::erase:
    return "erase";
  case RunStep::program:
    return "program";
  case RunStep::start:
    return "start";
  case RunStep::none:
    break;
  }
  return "none";
}

std::string text_block(const char* text) {
  std::string lines = notice_lines(text);
  if (!lines.empty()) lines.pop_back();
  return lines;
}
