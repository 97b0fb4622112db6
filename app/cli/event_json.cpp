#include "app/cli/event_json.h"

#include <cmath>

#include <nlohmann/json.hpp>

namespace {

using Json = nlohmann::ordered_json;

// Port names come from the command line and may be any bytes: invalid UTF-8
// is replaced rather than allowed to end the run with an exception.
std::string line_of(const Json& object) {
  return object.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
}

// Milliseconds are plenty for a run that takes seconds.
double rounded_seconds(double seconds) {
  return std::round(seconds * 1000.0) / 1000.0;
}

} // namespace

std::string json_start_event(const std::string& port, uint32_t image_size, uint32_t load_address,
                             const std::string& image_sha256) {
  return line_of(Json{{"event", "start"},
                      {"port", port},
                      {"image_size", image_size},
                      {"load_address", load_address},
                      {"image_sha256", image_sha256}});
}

std::string json_text_event(const std::string& port, const char* text, int32_t code) {
  return line_of(
      Json{{"event", "text"}, {"port", port}, {"text", text_block(text)}, {"code", code}});
}

std::string json_progress_event(const std::string& port, int32_t permille) {
  return line_of(Json{{"event", "progress"}, {"port", port}, {"permille", permille}});
}

std::string json_end_event(const PortOutcome& outcome) {
  return line_of(Json{{"event", "end"},
                      {"port", outcome.port},
                      {"result", port_result_name(outcome.result)},
                      {"exit_code", outcome.exit_code},
                      {"last_text", outcome.last_text},
                      {"seconds", rounded_seconds(outcome.seconds)},
                      {"frames_sent", outcome.frames_sent},
                      {"retransmissions", outcome.retransmissions}});
}

bool ProgressGate::pass(int32_t permille) {
  const int32_t percent = permille / 10;
  if (percent <= last_percent_) return false;
  last_percent_ = percent;
  return true;
}

void JsonEvents::started(size_t run) {
  out_(json_start_event(ports_[run], image_size_, load_address_, image_sha256_));
}

void JsonEvents::text(size_t run, const char* text, int32_t code, double /*now_s*/) {
  out_(json_text_event(ports_[run], text, code));
}

void JsonEvents::progress(size_t run, int32_t permille, double /*now_s*/) {
  if (gates_[run].pass(permille)) out_(json_progress_event(ports_[run], permille));
}

void JsonEvents::ended(size_t /*run*/, const PortOutcome& outcome, double /*now_s*/) {
  out_(json_end_event(outcome));
}
