#include "sim/sim_report.h"

#include <cstdio>

#include <nlohmann/json.hpp>

#include "link/link_records.h"

namespace {

// Keys stay in the order they are written.
using Json = nlohmann::ordered_json;

const char* command_name(uint8_t command) {
  switch (command) {
  case CMD_PROGRESS:
    return "progress";
  case CMD_ERASE:
    return "erase";
  case CMD_PROGRAM:
    return "program";
  case CMD_JUMP:
    return "jump";
  case CMD_ACK:
    return "ack";
  case CMD_NAK:
    return "nak";
  default:
    return "unknown";
  }
}

// Addresses and byte values appear as hexadecimal strings.
std::string hex32(uint32_t value) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08x", static_cast<unsigned>(value));
  return text;
}

std::string hex8(uint8_t value) {
  char text[8];
  std::snprintf(text, sizeof text, "0x%02x", static_cast<unsigned>(value));
  return text;
}

Json frame_json(const SimFrameRecord& r) {
  Json frame = {{"index", r.index},
                {"sequence", r.sequence},
                {"command", command_name(r.command)},
                {"command_byte", hex8(r.command)},
                {"length", r.length},
                {"payload_head", r.payload_head},
                {"answer", sim_answer_name(r.answer)},
                {"error", r.error}};
  if (!r.problem.empty()) {
    frame["problem"] = r.problem;
  }
  return frame;
}

} // namespace

const char* sim_answer_name(SimAnswerKind kind) {
  switch (kind) {
  case SimAnswerKind::ack:
    return "ack";
  case SimAnswerKind::nak:
    return "nak";
  case SimAnswerKind::none:
    return "none";
  case SimAnswerKind::bad_checksum:
    return "ack with wrong checksum";
  case SimAnswerKind::bad_command:
    return "ack with command 0x41";
  case SimAnswerKind::no_etx:
    return "ack without ETX";
  case SimAnswerKind::bad_length:
    return "ack with length 264";
  case SimAnswerKind::double_ack:
    return "ack twice";
  }
  return "?";
}

std::string sim_report_json(const SimReport& report, const SimFlash& flash,
                            const SimImageCheck* image, uint32_t load_address, uint32_t image_size,
                            const std::string& end) {
  uint32_t acks = 0, naks = 0, none = 0, garbled = 0, device_errors = 0;
  for (const SimFrameRecord& r : report.frames) {
    if (r.answer == SimAnswerKind::ack || r.answer == SimAnswerKind::double_ack) {
      ++acks;
    } else if (r.answer == SimAnswerKind::nak) {
      ++naks;
    } else if (r.answer == SimAnswerKind::none) {
      ++none;
    } else {
      ++garbled;
    }
    if (r.error != 0) {
      ++device_errors;
    }
  }

  Json image_json = nullptr;
  if (image) {
    image_json = {{"load_address", hex32(load_address)},
                  {"size", image_size},
                  {"matches", image->matches},
                  {"differing_bytes", image->differing_bytes},
                  {"first_difference",
                   image->differing_bytes ? Json(hex32(image->first_difference)) : Json(nullptr)}};
  }
  Json frames = Json::array();
  for (const SimFrameRecord& r : report.frames) {
    frames.push_back(frame_json(r));
  }
  const Json out = {
      {"end", end},
      {"requests", report.frames.size()},
      {"runs", report.runs},
      {"counts",
       {{"progress", report.progress},
        {"erase", report.erase},
        {"program", report.program},
        {"jump", report.jump},
        {"malformed", report.malformed}}},
      {"answers",
       {{"ack", acks},
        {"nak", naks},
        {"none", none},
        {"garbled", garbled},
        {"device_errors", device_errors}}},
      {"percent_values", report.percents},
      {"violations", report.violations},
      {"jump",
       {{"received", report.jumped},
        {"address", report.jumped ? Json(hex32(report.jump_address)) : Json(nullptr)}}},
      {"flash", {{"base", hex32(flash.base)}, {"size", flash.bytes.size()}, {"image", image_json}}},
      {"frames", std::move(frames)}};
  // Texts are the program's own, but a byte that is not UTF-8 must never
  // cost the report.
  return out.dump(2, ' ', false, Json::error_handler_t::replace) + "\n";
}
