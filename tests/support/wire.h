// Frames as the controller puts them on the line, built from the wire format
// alone (not with the product's codec), for scripting a ScriptedLine.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <vector>

using Bytes = std::vector<uint8_t>;

// STX, sequence, command, 16-bit big-endian length, payload, XOR, ETX.
Bytes wire_frame(uint8_t sequence, uint8_t command, const Bytes& payload);
// An acknowledgement: payload acknowledged id, device error code.
Bytes wire_ack(uint8_t id, uint8_t error = 0, uint8_t sequence = 0);
// A refusal with an empty payload.
Bytes wire_nak(uint8_t sequence = 0);
// The pieces one after the other, as one read would deliver them.
Bytes wire_join(std::initializer_list<Bytes> pieces);
