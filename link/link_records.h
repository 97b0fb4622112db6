// Records, constants and byte areas of the boot-loader link.
// Core code: no OS or toolkit headers here or in anything under link/.
#pragma once

#include <cstdint>

// Frame delimiters.
constexpr uint8_t FRAME_STX = 0x02;
constexpr uint8_t FRAME_ETX = 0x03;
// STX, sequence, command, two length bytes before the payload; checksum and ETX after it.
constexpr uint16_t FRAME_OVERHEAD = 7;

// Command bytes: the only six values a frame may carry.
constexpr uint8_t CMD_ACK = 0x06;
constexpr uint8_t CMD_NAK = 0x15;
constexpr uint8_t CMD_PROGRESS = 0x25;
constexpr uint8_t CMD_ERASE = 0x65;
constexpr uint8_t CMD_JUMP = 0x6A;
constexpr uint8_t CMD_PROGRAM = 0x70;

// Receive states of frame_parse.
constexpr uint8_t RX_WAIT_STX = 0;
constexpr uint8_t RX_SEQUENCE = 1;
constexpr uint8_t RX_COMMAND = 2;
constexpr uint8_t RX_LENGTH_HIGH = 3;
constexpr uint8_t RX_LENGTH_LOW = 4;
constexpr uint8_t RX_PAYLOAD = 5;
constexpr uint8_t RX_CHECKSUM = 6;
constexpr uint8_t RX_ETX = 7;

// Results of frame_parse.
constexpr uint8_t PARSE_MORE = 0;
constexpr uint8_t PARSE_FRAME = 1;
constexpr uint8_t PARSE_BAD_COMMAND = 2;
constexpr uint8_t PARSE_BAD_LENGTH = 3;
constexpr uint8_t PARSE_BAD_CHECKSUM = 4;
constexpr uint8_t PARSE_NO_ETX = 5;

// LinkContext::status.
constexpr uint8_t LINK_RUNNING = 0;
constexpr uint8_t LINK_FORMAT_ERROR = 1;
constexpr uint8_t LINK_RETRIES_EXHAUSTED = 2;
constexpr uint8_t LINK_DONE = 3;

constexpr uint16_t LINK_MAX_PAYLOAD = 264;   // payload room of a LinkMessage
constexpr uint16_t LINK_MAX_RX_LENGTH = 263; // longest payload the receiver accepts
constexpr uint16_t LINK_READ_SIZE = 256;     // one read from the port
constexpr uint8_t LINK_RETRIES = 3;          // retransmissions per message
constexpr uint16_t LINK_TX_AREA_SIZE = 384;
constexpr uint16_t LINK_STRAY_AREA_SIZE = 128;
// Longest frame the message set produces: a program message of 256 data bytes.
constexpr uint16_t LINK_MAX_FRAME = 6 + 256 + FRAME_OVERHEAD; // 269

// What the areas and records must hold.
static_assert(LINK_MAX_RX_LENGTH <= LINK_MAX_PAYLOAD, "a received payload fits a message");
static_assert(LINK_MAX_FRAME - FRAME_OVERHEAD <= LINK_MAX_PAYLOAD, "every message fits one");
static_assert(LINK_MAX_PAYLOAD + FRAME_OVERHEAD <= LINK_TX_AREA_SIZE,
              "the transmit area holds any one frame, a reply or a retransmission");
static_assert(LINK_READ_SIZE <= INT16_MAX, "a read's byte count passes as a signed 16-bit count");
static_assert(LINK_STRAY_AREA_SIZE <= INT16_MAX, "the stray count is a signed 16-bit count");

// One message before framing. Slots are copied as whole records.
struct LinkMessage {
  uint8_t sequence;
  uint8_t command;
  uint16_t length; // payload bytes; big-endian only on the wire
  uint8_t payload[LINK_MAX_PAYLOAD];
  uint8_t checksum; // current: XOR of the frame built last; received: running XOR
};

// The whole state of the link. Holds no pointers and owns nothing.
struct LinkContext {
  uint8_t sequence;     // last sequence number handed out; wraps 255 -> 0
  uint8_t rx_state;     // RX_WAIT_STX .. RX_ETX
  uint32_t ack_count;   // acknowledgements since link_start
  uint8_t next_free;    // 0 while a queued message waits in `next`
  uint8_t retries_left; // retransmissions left for `current`
  uint8_t status;       // LINK_RUNNING .. LINK_DONE
  uint8_t error;        // parse result behind LINK_FORMAT_ERROR
  LinkMessage next;     // queued
  LinkMessage previous; // in `current` before the last acknowledgement
  LinkMessage current;  // in flight
  LinkMessage received; // being received, or the last frame received
  // Counted for the run's report only; link_start clears both.
  uint32_t frames_sent;     // frames written to the port, retransmissions included
  uint32_t retransmissions; // refusals answered with the message again
};

// Byte areas of the exchange running on the calling thread. Every thread
// has its own set, so one context per thread may be driven at a time.
extern thread_local uint8_t link_rx_area[LINK_READ_SIZE];
extern thread_local uint8_t link_tx_area[LINK_TX_AREA_SIZE];
extern thread_local uint8_t link_stray_area[LINK_STRAY_AREA_SIZE];
extern thread_local int16_t link_stray_count;
extern thread_local uint16_t link_payload_index;
