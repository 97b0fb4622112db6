#include "app/runs/event_json.h"

#include <cmath>

#include <nlohmann/json.hpp>

namespace {

using Json = nlohmann::ordered_json;

// Milliseconds are plenty for a run that takes seconds.
double rounded_seconds(double seconds) {
  return std::round(seconds * 1000.0) / 1000.0;
}

} // namespace

std::string json_line(const Json& object) {
  return object.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
}

Json json_start_object(const std::string& port, uint32_t image_size, uint32_t load_address,
                       const std::string& image_sha256) {
  return Json{{"event", "start"},
              {"port", port},
              {"image_size", image_size},
              {"load_address", load_address},
              {"image_sha256", image_sha256}};
}

Json json_text_object(const std::string& port, const char* text, int32_t code) {
  return Json{{"event", "text"}, {"port", port}, {"text", text_block(text)}, {"code", code}};
}

Json json_progress_object(const std::string& port, int32_t permille) {
  return Json{{"event", "progress"}, {"port", port}, {"permille", permille}};
}

Json json_end_object(const PortOutcome& outcome) {
  return Json{{"event", "end"},
              {"port", outcome.port},
              {"result", port_result_name(outcome.result)},
              {"exit_code", outcome.exit_code},
              {"last_text", outcome.last_text},
              {"seconds", rounded_seconds(outcome.seconds)},
              {"frames_sent", outcome.frames_sent},
              {"retransmissions", outcome.retransmissions}};
}

std::string json_start_event(const std::string& port, uint32_t image_size, uint32_t load_address,
                             const std::string& image_sha256) {
  return json_line(json_start_object(port, image_size, load_address, image_sha256));
}

std::string json_text_event(const std::string& port, const char* text, int32_t code) {
  return json_line(json_text_object(port, text, code));
}

std::string json_progress_event(const std::string& port, int32_t permille) {
  return json_line(json_progress_object(port, permille));
}

std::string json_end_event(const PortOutcome& outcome) {
  return json_line(json_end_object(outcome));
}

bool ProgressGate::pass(int32_t permille) {
  const int32_t percent = permille / 10;
  if (percent <= last_percent_) return false;
  last_percent_ = percent;
  return true;
}

std::string JsonEvents::labelled(size_t run, Json event) const {
  if (run < labels_.size() && !labels_[run].tag.empty()) event["tag"] = labels_[run].tag;
  return json_line(event);
}

void JsonEvents::started(size_t run) {
  out_(labelled(run, json_start_object(ports_[run], image_size_, load_address_, image_sha256_)));
}

void JsonEvents::text(size_t run, const char* text, int32_t code, double /*now_s*/) {
  out_(json_text_event(ports_[run], text, code));
}

void JsonEvents::progress(size_t run, int32_t permille, double /*now_s*/) {
  if (gates_[run].pass(permille)) out_(json_progress_event(ports_[run], permille));
}

void JsonEvents::ended(size_t run, const PortOutcome& outcome, double /*now_s*/) {
  out_(labelled(run, json_end_object(outcome)));
}
