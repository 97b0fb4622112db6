// What a clean run with the built-in image looks like, on the wire and in the
// notices; shared by the in-process runs and the runs over a pseudo-terminal.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <vector>

#include "link/port.h"
#include "tests/upgrade/upgrade_fixture.h"

// Splits bytes the upgrader wrote into frames (they are well-formed: it
// builds them). Bytes that do not form a frame end the split.
std::vector<SentFrame> split_frames(const Bytes& stream);

// Checks the 818 messages of a clean run with `image`: 101 progress messages
// (0..100), 12 erase blocks, the chunks, one jump; numbered first_sequence,
// then 1, 2, 3, ...
void expect_clean_wire(const std::vector<SentFrame>& frames, const FirmwareImage& image,
                       uint8_t first_sequence);
// Checks the notices of a clean run with the built-in image; a run on a
// thread ends with the end notice, the sequence called directly without it.
void expect_clean_notices(const std::vector<Notice>& notices, bool with_end = true);

// Passes reads and writes through to another port and keeps what was written.
class RecordingPort final : public SerialPort {
public:
  explicit RecordingPort(SerialPort* inner) : inner_(inner) {}
  PortHandle handle() { return handle_from_port(this); }
  Bytes written() const;
  bool read(uint8_t* buffer, size_t capacity, size_t* got) override;
  bool write(const uint8_t* data, size_t size) override;

private:
  SerialPort* inner_;
  mutable std::mutex mutex_;
  Bytes written_;
};
