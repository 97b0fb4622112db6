#include "sim/sim_controller.h"

#include <cstdio>
#include <cstring>
#include <utility>

#include "link/link_records.h"

namespace {

// A broken host could fill memory with complaints; the first ones tell the story.
constexpr size_t MAX_VIOLATIONS = 1000;
constexpr size_t PAYLOAD_HEAD_BYTES = 8;
constexpr uint8_t UNKNOWN_COMMAND = 0x41;
constexpr uint8_t NOT_ETX = 0x00;
constexpr uint32_t BITS_PER_BYTE = 10; // start, eight data bits, stop

uint32_t be32(const uint8_t* p) {
  return uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | p[3];
}

std::string hex_head(const SimFrame& f) {
  static const char digits[] = "0123456789abcdef";
  std::string text;
  for (size_t i = 0; i < f.length && i < PAYLOAD_HEAD_BYTES; ++i) {
    text += digits[f.payload[i] >> 4];
    text += digits[f.payload[i] & 0x0F];
  }
  return text;
}

std::string format(const char* fmt, unsigned a, unsigned b = 0, unsigned c = 0) {
  char text[160];
  std::snprintf(text, sizeof text, fmt, a, b, c);
  return text;
}

bool same_request(const SimFrame& a, const SimFrame& b) {
  return a.command == b.command && a.length == b.length &&
         std::memcmp(a.payload, b.payload, a.length) == 0;
}

bool is_run_start(const SimFrame& f) {
  return f.command == CMD_PROGRESS && f.length == 1 && f.payload[0] == 0;
}

} // namespace

uint8_t sim_stray_byte(uint32_t i) {
  // Bytes a parser might mistake for frame bytes: ETX and the answer commands among them.
  static const uint8_t pattern[] = {0x00, 0x03, 0x06, 0x15, 0x55, 0xAA, 0xFF};
  return pattern[i % sizeof pattern];
}

SimController::SimController(SimConfig config) : config_(std::move(config)) {
  sim_flash_init(&flash_, config_.flash_base, config_.flash_size);
}

bool SimController::in_frame() const {
  return sim_parse_in_frame(&parser_);
}

void SimController::drop_partial_frame(const std::string& why) {
  if (!in_frame()) {
    return;
  }
  violation(
      format("a frame was cut off after %u bytes: ", static_cast<unsigned>(parser_.frame_bytes)) +
      why);
  sim_parse_reset(&parser_);
}

void SimController::note_violation(const std::string& text) {
  violation(text);
}

void SimController::violation(const std::string& text) {
  if (report_.violations.size() < MAX_VIOLATIONS) {
    report_.violations.push_back(text);
  }
}

void SimController::feed(const uint8_t* data, size_t size, std::vector<SimAnswer>* answers) {
  size_t position = 0;
  while (!closed_ && position < size) {
    const SimParseEvent event = sim_parse(&parser_, data, size, &position);
    if (event == SimParseEvent::none) {
      break;
    }
    handle(event, answers);
  }
}

std::string SimController::check_request(SimParseEvent event, const SimFrame& f) const {
  switch (event) {
  case SimParseEvent::bad_length:
    return format("announced length %u is above 263", f.length);
  case SimParseEvent::bad_checksum:
    return "wrong checksum";
  case SimParseEvent::no_etx:
    return "no ETX after the checksum";
  default:
    break;
  }
  unsigned expected = 0;
  const char* name = "";
  switch (f.command) {
  case CMD_PROGRESS:
    expected = 1, name = "progress";
    break;
  case CMD_ERASE:
    expected = 8, name = "erase";
    break;
  case CMD_JUMP:
    expected = 4, name = "jump";
    break;
  case CMD_PROGRAM: {
    if (f.length < 7) {
      return format("program payload of %u bytes is shorter than 7", f.length);
    }
    const unsigned count = unsigned{f.payload[4]} << 8 | f.payload[5];
    if (count == 0 || count > 256) {
      return format("program byte count %u is outside 1 to 256", count);
    }
    if (f.length != 6 + count) {
      return format("program payload of %u bytes does not match its byte count %u", f.length,
                    count);
    }
    return "";
  }
  default:
    return format("command byte 0x%02x is not a request", f.command);
  }
  if (f.length != expected) {
    return std::string(name) + format(" payload of %u bytes, %u expected", f.length, expected);
  }
  return "";
}

// The host numbers every message from one 8-bit counter when it queues it,
// retransmissions included, and resets the counter after the first message
// of a run; the message queued next is numbered right away. So a run reads
// x, 1, 2, ... and a retransmission takes the next number after the one
// already given to the message queued behind it.
bool SimController::check_sequence(const SimFrame& f, uint32_t index) {
  SequenceModel& m = seq_;
  const bool repeated =
      m.after_refusal && m.refusals_in_row <= LINK_RETRIES && same_request(f, m.refused);
  if (repeated) {
    if (f.sequence == m.refused.sequence) {
      violation(format("request %u repeats refused request %u under the same sequence number %u",
                       index, m.refused_index, f.sequence));
    }
    if (m.tracking) {
      const uint8_t expected = ++m.counter;
      if (f.sequence != expected) {
        violation(format("request %u, a retransmission, carries sequence %u, expected %u", index,
                         f.sequence, expected));
        m.counter = f.sequence;
      }
    }
  } else if (is_run_start(f)) {
    ++report_.runs;
    m.tracking = true;
    m.counter = 0;
    m.pending = ++m.counter;
  } else if (m.after_refusal && m.refusals_in_row <= LINK_RETRIES) {
    violation(format("request %u follows the refusal of request %u but does not repeat it", index,
                     m.refused_index));
    m.tracking = false;
  } else if (m.tracking) {
    if (f.sequence != m.pending) {
      violation(
          format("request %u carries sequence %u, expected %u", index, f.sequence, m.pending));
      m.counter = f.sequence;
    }
    m.pending = ++m.counter;
  }
  return repeated;
}

void SimController::update_sequence(const SimFrame& f, uint32_t index, SimAnswerKind answer,
                                    bool repeated) {
  SequenceModel& m = seq_;
  if (answer == SimAnswerKind::nak) {
    m.refusals_in_row = repeated ? m.refusals_in_row + 1 : 1;
    m.refused = f;
    m.refused_index = index;
    m.after_refusal = true;
    return;
  }
  m.after_refusal = false;
  m.refusals_in_row = 0;
  // After silence or a garbled answer the host abandons its run.
  if (answer != SimAnswerKind::ack && answer != SimAnswerKind::double_ack) {
    m.tracking = false;
  }
}

const SimFault* SimController::fault_at(SimFaultKind kind, uint32_t index) const {
  for (const SimFault& fault : config_.faults) {
    if (fault.kind != kind) {
      continue;
    }
    const bool covers = kind == SimFaultKind::refuse
                            ? index >= fault.request && index - fault.request < fault.count
                            : index == fault.request;
    if (covers) {
      return &fault;
    }
  }
  return nullptr;
}

bool SimController::silent_at(uint32_t index) const {
  for (const SimFault& fault : config_.faults) {
    if (fault.kind == SimFaultKind::silent && index >= fault.request) {
      return true;
    }
  }
  return false;
}

uint8_t SimController::carry_out(const SimFrame& f) {
  switch (f.command) {
  case CMD_ERASE:
    return sim_flash_erase(&flash_, be32(f.payload), be32(f.payload + 4));
  case CMD_PROGRAM:
    return sim_flash_program(&flash_, be32(f.payload), f.payload + 6, f.length - 6u);
  case CMD_JUMP: {
    const uint32_t address = be32(f.payload);
    if (!sim_flash_contains(&flash_, address, 1)) {
      return SIM_DEVICE_OUT_OF_RANGE;
    }
    report_.jumped = true;
    report_.jump_address = address;
    return SIM_DEVICE_OK;
  }
  default:
    return SIM_DEVICE_OK;
  }
}

void SimController::build_answer(const SimFrame& f, SimAnswerKind kind, uint8_t code,
                                 SimAnswer* answer) const {
  std::vector<uint8_t>& out = answer->bytes;
  for (uint32_t i = 0; i < config_.stray_bytes; ++i) {
    out.push_back(sim_stray_byte(i));
  }
  uint8_t frame[SIM_MAX_FRAME];
  uint8_t payload[SIM_MAX_PAYLOAD] = {f.sequence, code};
  size_t n = 0;
  switch (kind) {
  case SimAnswerKind::nak:
    n = sim_frame_build(f.sequence, CMD_NAK, nullptr, 0, frame);
    break;
  case SimAnswerKind::bad_command:
    n = sim_frame_build(f.sequence, UNKNOWN_COMMAND, payload, 2, frame);
    break;
  case SimAnswerKind::bad_length:
    n = sim_frame_build(f.sequence, CMD_ACK, payload, SIM_MAX_PAYLOAD, frame);
    break;
  default:
    n = sim_frame_build(f.sequence, CMD_ACK, payload, 2, frame);
    break;
  }
  if (kind == SimAnswerKind::bad_checksum) {
    frame[n - 2] ^= 0xFF;
  } else if (kind == SimAnswerKind::no_etx) {
    frame[n - 1] = NOT_ETX;
  }
  out.insert(out.end(), frame, frame + n);
  if (kind == SimAnswerKind::double_ack) {
    out.insert(out.end(), frame, frame + n);
  }
}

uint32_t SimController::delay_us(size_t request_bytes, size_t answer_bytes, uint8_t command,
                                 bool carried_out) const {
  uint64_t us = 0;
  if (config_.baud > 0) {
    us = (uint64_t{request_bytes} + answer_bytes) * BITS_PER_BYTE * 1000000u / config_.baud;
  }
  if (carried_out && command == CMD_ERASE) {
    us += uint64_t{config_.erase_ms} * 1000u;
  } else if (carried_out && command == CMD_PROGRAM) {
    us += uint64_t{config_.program_ms} * 1000u;
  }
  return us > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(us);
}

SimFrameRecord SimController::record_request(SimParseEvent event, uint32_t index) {
  const SimFrame& f = parser_.frame;
  SimFrameRecord record;
  record.index = index;
  record.sequence = f.sequence;
  record.command = f.command;
  record.length = f.length;
  if (event != SimParseEvent::bad_length) { // its payload was never read
    record.payload_head = hex_head(f);
  }
  record.problem = check_request(event, f);
  if (!record.problem.empty()) {
    ++report_.malformed;
    violation(format("request %u: ", index) + record.problem);
  } else if (f.command == CMD_PROGRESS) {
    ++report_.progress;
    report_.percents.push_back(f.payload[0]);
    if (f.payload[0] > 100) {
      violation(format("request %u: progress of %u percent", index, f.payload[0]));
    }
  } else if (f.command == CMD_ERASE) {
    ++report_.erase;
  } else if (f.command == CMD_PROGRAM) {
    ++report_.program;
  } else if (f.command == CMD_JUMP) {
    ++report_.jump;
  }
  return record;
}

// Faults first, in the order a real line would show them: a dropped line
// or a hung controller answers nothing at all, a refusal leaves the flash
// alone, and a garbled acknowledgement follows work that was done.
SimAnswerKind SimController::choose_answer(const SimFrame& f, uint32_t index, bool well_formed,
                                           uint8_t* code, bool* carried_out) {
  if (fault_at(SimFaultKind::close_line, index)) {
    closed_ = true;
    return SimAnswerKind::none;
  }
  if (silent_at(index)) {
    return SimAnswerKind::none;
  }
  if (fault_at(SimFaultKind::refuse, index) || !well_formed) {
    return SimAnswerKind::nak;
  }
  if (const SimFault* fault = fault_at(SimFaultKind::device_error, index)) {
    *code = fault->code;
  } else {
    *code = carry_out(f);
    *carried_out = true;
  }
  static const std::pair<SimFaultKind, SimAnswerKind> shapes[] = {
      {SimFaultKind::bad_checksum, SimAnswerKind::bad_checksum},
      {SimFaultKind::bad_command, SimAnswerKind::bad_command},
      {SimFaultKind::no_etx, SimAnswerKind::no_etx},
      {SimFaultKind::bad_length, SimAnswerKind::bad_length},
      {SimFaultKind::double_ack, SimAnswerKind::double_ack},
  };
  for (const auto& shape : shapes) {
    if (fault_at(shape.first, index)) {
      return shape.second;
    }
  }
  return SimAnswerKind::ack;
}

void SimController::handle(SimParseEvent event, std::vector<SimAnswer>* answers) {
  const uint32_t index = ++requests_;
  const SimFrame& f = parser_.frame;
  if (parser_.stray > 0) {
    violation(format("%u bytes outside any frame before request %u",
                     static_cast<unsigned>(parser_.stray), index));
    parser_.stray = 0;
  }
  SimFrameRecord record = record_request(event, index);
  const bool well_formed = record.problem.empty();
  const bool repeated = well_formed && check_sequence(f, index);

  uint8_t code = 0;
  bool carried_out = false;
  const SimAnswerKind kind = choose_answer(f, index, well_formed, &code, &carried_out);
  record.answer = kind;
  record.error = code;
  report_.frames.push_back(std::move(record));
  if (well_formed) {
    update_sequence(f, index, kind, repeated);
  } else {
    // We cannot tell which message the host will repeat for it.
    seq_ = SequenceModel();
  }

  if (kind == SimAnswerKind::none || !answers) {
    return;
  }
  SimAnswer answer;
  answer.request = index;
  answer.request_command = f.command;
  answer.byte_at_a_time = config_.byte_at_a_time;
  build_answer(f, kind, code, &answer);
  answer.delay_us = delay_us(parser_.frame_bytes, answer.bytes.size(), f.command, carried_out);
  answers->push_back(std::move(answer));
}

bool SimController::image_matches() const {
  return !config_.image.empty() &&
         sim_flash_compare(&flash_, config_.load_address, config_.image).matches;
}

std::string SimController::report_json(const std::string& end) const {
  SimImageCheck check;
  const bool has_image = !config_.image.empty();
  if (has_image) {
    check = sim_flash_compare(&flash_, config_.load_address, config_.image);
  }
  return sim_report_json(report_, flash_, has_image ? &check : nullptr, config_.load_address,
                         static_cast<uint32_t>(config_.image.size()), end);
}
