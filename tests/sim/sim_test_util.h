// Helpers shared by the simulator's tests: byte vectors written as hex, and
// the host's frames built by the upgrader's own message set.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "link/messages.h"
#include "sim/sim_controller.h"

using Bytes = std::vector<uint8_t>;

inline Bytes hex_bytes(const std::string& text) {
  Bytes out;
  unsigned value = 0;
  int digits = 0;
  for (char c : text) {
    if (c == ' ') {
      continue;
    }
    value = value * 16 + static_cast<unsigned>(c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10);
    if (++digits == 2) {
      out.push_back(static_cast<uint8_t>(value));
      value = 0;
      digits = 0;
    }
  }
  return out;
}

inline std::string hex_text(const Bytes& bytes) {
  std::string out;
  char two[4];
  for (size_t i = 0; i < bytes.size(); ++i) {
    std::snprintf(two, sizeof two, i ? " %02x" : "%02x", bytes[i]);
    out += two;
  }
  return out;
}

// Host frames, numbered as the upgrader numbers them: `sequence` is the
// number the frame carries.
struct HostFrames {
  LinkContext ctx{};
  uint8_t out[LINK_MAX_FRAME];

  Bytes progress(uint8_t sequence, uint8_t percent) {
    ctx.sequence = static_cast<uint8_t>(sequence - 1);
    return Bytes(out, out + msg_progress_encode(&ctx, out, percent));
  }
  Bytes erase(uint8_t sequence, uint32_t address, uint32_t size) {
    ctx.sequence = static_cast<uint8_t>(sequence - 1);
    return Bytes(out, out + msg_erase_encode(&ctx, out, address, size));
  }
  Bytes program(uint8_t sequence, uint32_t address, const Bytes& data) {
    ctx.sequence = static_cast<uint8_t>(sequence - 1);
    return Bytes(out, out + msg_program_encode(&ctx, out, address, data.data(),
                                               static_cast<uint16_t>(data.size())));
  }
  Bytes jump(uint8_t sequence, uint32_t address) {
    ctx.sequence = static_cast<uint8_t>(sequence - 1);
    return Bytes(out, out + msg_jump_encode(&ctx, out, address));
  }
};

// Feeds one piece of the host's bytes and returns everything answered, concatenated.
inline Bytes ask(SimController& sim, const Bytes& request,
                 std::vector<SimAnswer>* answers_out = nullptr) {
  std::vector<SimAnswer> answers;
  sim.feed(request.data(), request.size(), &answers);
  Bytes all;
  for (const SimAnswer& a : answers) {
    all.insert(all.end(), a.bytes.begin(), a.bytes.end());
  }
  if (answers_out) {
    *answers_out = answers;
  }
  return all;
}
