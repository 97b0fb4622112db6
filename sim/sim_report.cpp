#include "sim/sim_report.h"

#include <cstdio>

#include "link/link_records.h"

namespace {

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

std::string number(uint64_t value) { return std::to_string(value); }

std::string hex32(uint32_t value) {
  char text[16];
  std::snprintf(text, sizeof text, "\"0x%08x\"", static_cast<unsigned>(value));
  return text;
}

std::string hex8(uint8_t value) {
  char text[8];
  std::snprintf(text, sizeof text, "\"0x%02x\"", static_cast<unsigned>(value));
  return text;
}

void frame_json(std::string& out, const SimFrameRecord& r) {
  out += "    {\"index\": " + number(r.index) + ", \"sequence\": " + number(r.sequence) +
         ", \"command\": " + sim_json_string(command_name(r.command)) +
         ", \"command_byte\": " + hex8(r.command) + ", \"length\": " + number(r.length) +
         ", \"payload_head\": " + sim_json_string(r.payload_head) +
         ", \"answer\": " + sim_json_string(sim_answer_name(r.answer)) +
         ", \"error\": " + number(r.error);
  if (!r.problem.empty()) {
    out += ", \"problem\": " + sim_json_string(r.problem);
  }
  out += "}";
}

template <typename T, typename F>
void list_json(std::string& out, const std::vector<T>& items, const char* indent, F each) {
  if (items.empty()) {
    out += "[]";
    return;
  }
  out += "[\n";
  for (size_t i = 0; i < items.size(); ++i) {
    out += indent;
    each(out, items[i]);
    out += i + 1 < items.size() ? ",\n" : "\n";
  }
  out += "  ]";
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

std::string sim_json_string(const std::string& text) {
  std::string out = "\"";
  for (const char c : text) {
    const unsigned char u = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\r') {
      out += "\\r";
    } else if (c == '\t') {
      out += "\\t";
    } else if (u < 0x20 || u == 0x7F) {
      char code[8];
      std::snprintf(code, sizeof code, "\\u%04x", static_cast<unsigned>(u));
      out += code;
    } else {
      out += c;
    }
  }
  return out + "\"";
}

std::string sim_report_json(const SimReport& report, const SimFlash& flash,
                            const SimImageCheck* image, uint32_t load_address,
                            uint32_t image_size, const std::string& end) {
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

  std::string out = "{\n";
  out += "  \"end\": " + sim_json_string(end) + ",\n";
  out += "  \"requests\": " + number(report.frames.size()) + ",\n";
  out += "  \"runs\": " + number(report.runs) + ",\n";
  out += "  \"counts\": {\"progress\": " + number(report.progress) +
         ", \"erase\": " + number(report.erase) + ", \"program\": " + number(report.program) +
         ", \"jump\": " + number(report.jump) + ", \"malformed\": " + number(report.malformed) +
         "},\n";
  out += "  \"answers\": {\"ack\": " + number(acks) + ", \"nak\": " + number(naks) +
         ", \"none\": " + number(none) + ", \"garbled\": " + number(garbled) +
         ", \"device_errors\": " + number(device_errors) + "},\n";
  out += "  \"percent_values\": [";
  for (size_t i = 0; i < report.percents.size(); ++i) {
    out += (i ? ", " : "") + number(report.percents[i]);
  }
  out += "],\n";
  out += "  \"violations\": ";
  list_json(out, report.violations, "    ",
            [](std::string& o, const std::string& v) { o += sim_json_string(v); });
  out += ",\n";
  out += "  \"jump\": {\"received\": " + std::string(report.jumped ? "true" : "false") +
         ", \"address\": " + (report.jumped ? hex32(report.jump_address) : "null") + "},\n";
  out += "  \"flash\": {\"base\": " + hex32(flash.base) +
         ", \"size\": " + number(flash.bytes.size()) + ", \"image\": ";
  if (image) {
    out += "{\"load_address\": " + hex32(load_address) + ", \"size\": " + number(image_size) +
           ", \"matches\": " + (image->matches ? "true" : "false") +
           ", \"differing_bytes\": " + number(image->differing_bytes) +
           ", \"first_difference\": " +
           (image->differing_bytes ? hex32(image->first_difference) : "null") + "}";
  } else {
    out += "null";
  }
  out += "},\n";
  out += "  \"frames\": ";
  list_json(out, report.frames, "", frame_json);
  out += "\n}\n";
  return out;
}
