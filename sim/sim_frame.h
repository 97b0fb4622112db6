// The simulated controller's own view of the wire: a frame parser and a
// frame builder written from the frame format alone, so that the simulator
// judges the upgrader's frames independently of the upgrader's codec.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr uint8_t SIM_STX = 0x02;
constexpr uint8_t SIM_ETX = 0x03;
constexpr uint16_t SIM_FRAME_OVERHEAD = 7;
// Longest payload a receiver accepts; 264 and above are refused.
constexpr uint16_t SIM_MAX_ACCEPTED_LENGTH = 263;
// Room for the longest payload the simulator ever builds: the deliberately
// oversized answer of the length fault.
constexpr uint16_t SIM_MAX_PAYLOAD = 264;
constexpr uint16_t SIM_MAX_FRAME = SIM_MAX_PAYLOAD + SIM_FRAME_OVERHEAD;

struct SimFrame {
  uint8_t sequence;
  uint8_t command;
  uint16_t length;
  uint8_t payload[SIM_MAX_PAYLOAD];
};

// What ended a frame. Every event but `none` stands for exactly one frame
// from the host, which the controller answers once.
enum class SimParseEvent : uint8_t {
  none,         // the input ran out; a partial frame waits in the parser
  frame,        // well-formed: checksum and ETX correct
  bad_length,   // announced length 264 or more; nothing more of it is read
  bad_checksum, // the checksum byte differs from the XOR
  no_etx,       // the byte after the checksum is not ETX (that byte is not consumed)
};

enum class SimRxState : uint8_t {
  stx,
  sequence,
  command,
  length_high,
  length_low,
  payload,
  checksum,
  etx
};

struct SimParser {
  SimRxState state = SimRxState::stx;
  SimFrame frame{};
  uint16_t index = 0; // next payload position
  uint8_t running_xor = 0;
  bool checksum_ok = false;
  size_t frame_bytes = 0; // bytes of the frame so far, STX included
  size_t stray = 0;       // bytes seen outside frames since the last reset of this count
};

// Consumes input[*position .. size) until one frame ends or the input runs
// out, and advances *position past what it consumed. A frame may arrive
// split over any number of calls. The frame stands in parser->frame for
// every event but `none`; parser->frame_bytes is its length on the wire.
SimParseEvent sim_parse(SimParser* parser, const uint8_t* input, size_t size, size_t* position);

// Whether a frame has begun but not ended.
bool sim_parse_in_frame(const SimParser* parser);

// Drops a partial frame; the next byte is looked at as a possible STX.
void sim_parse_reset(SimParser* parser);

// Builds a frame into out (room for length + 7 bytes) and returns its size.
size_t sim_frame_build(uint8_t sequence, uint8_t command, const uint8_t* payload, uint16_t length,
                       uint8_t* out);

// XOR over sequence, command, both length bytes and the payload.
uint8_t sim_frame_checksum(uint8_t sequence, uint8_t command, const uint8_t* payload,
                           uint16_t length);
