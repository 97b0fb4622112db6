// How a simulated controller behaves: its flash, the image it should end up
// holding, how fast it answers, and the faults it injects. Requests are
// counted from 1 in the order their frames arrive, malformed ones included;
// a fault "at K" acts on the K-th request of the whole session.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

enum class SimFaultKind : uint8_t {
  refuse,       // NAK requests K .. K+count-1 without carrying them out
  silent,       // from request K on, answer nothing and carry nothing out
  bad_checksum, // acknowledge K with the checksum inverted
  bad_command,  // acknowledge K with command byte 0x41
  no_etx,       // acknowledge K with 0x00 where ETX belongs
  bad_length,   // acknowledge K with an announced length of 264 (and 264 payload bytes)
  device_error, // acknowledge K with device error `code` without carrying it out
  close_line,   // the line drops when request K arrives; it gets no answer
  double_ack,   // acknowledge K twice in one write
};

struct SimFault {
  SimFaultKind kind;
  uint32_t request;   // K, from 1
  uint32_t count = 1; // refuse: how many requests in a row
  uint8_t code = 0;   // device_error: the code
};

struct SimConfig {
  uint32_t flash_base = 0;
  uint32_t flash_size = 0x40000;

  // The image the host is expected to write; empty when none was given.
  std::vector<uint8_t> image;
  uint32_t load_address = 0x4000;

  // Pacing: each answer is due after the wire time of the request and of the
  // answer at `baud` (0 = no wire time), plus the flash time of the request.
  uint32_t baud = 0;
  uint32_t erase_ms = 0;
  uint32_t program_ms = 0;

  std::vector<SimFault> faults;
  uint32_t stray_bytes = 0;    // bytes (never STX) put before every answer
  bool byte_at_a_time = false; // every answer is delivered one byte per read
};

// The stray byte at position i of the run put before an answer.
uint8_t sim_stray_byte(uint32_t i);
