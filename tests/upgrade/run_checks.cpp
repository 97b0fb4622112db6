#include "tests/upgrade/run_checks.h"

#include <cstdio>
#include <string>

#include "link/link_records.h"

std::vector<SentFrame> split_frames(const Bytes& stream) {
  std::vector<SentFrame> frames;
  size_t at = 0;
  while (at + 7 <= stream.size() && stream[at] == FRAME_STX) {
    const size_t length = size_t{stream[at + 3]} << 8 | stream[at + 4];
    const size_t end = at + 5 + length + 2;
    if (end > stream.size() || stream[end - 1] != FRAME_ETX) {
      break;
    }
    frames.push_back(sent_frame(Bytes(stream.begin() + static_cast<std::ptrdiff_t>(at),
                                      stream.begin() + static_cast<std::ptrdiff_t>(end))));
    at = end;
  }
  EXPECT_EQ(at, stream.size()) << "bytes after the last whole frame";
  return frames;
}

void expect_clean_wire(const std::vector<SentFrame>& frames, const FirmwareImage& image,
                       uint8_t first_sequence) {
  const uint32_t chunks = (image.size + 255) / 256;
  ASSERT_EQ(frames.size(), 101u + 12u + chunks + 1u);
  size_t i = 0;
  int percent = 0;
  uint32_t erase_address = image.load_address;
  uint32_t offset = 0;
  for (const SentFrame& f : frames) {
    const uint8_t expected_sequence = i == 0 ? first_sequence : static_cast<uint8_t>(i);
    EXPECT_EQ(f.sequence, expected_sequence) << "frame " << i;
    switch (f.command) {
    case CMD_PROGRESS:
      ASSERT_EQ(f.payload.size(), 1u) << "frame " << i;
      EXPECT_EQ(f.payload[0], percent) << "frame " << i;
      ++percent;
      break;
    case CMD_ERASE:
      ASSERT_EQ(f.payload.size(), 8u) << "frame " << i;
      EXPECT_EQ(be32(f.payload, 0), erase_address) << "frame " << i;
      EXPECT_EQ(be32(f.payload, 4), 16384u) << "frame " << i;
      erase_address += 16384;
      break;
    case CMD_PROGRAM: {
      const uint32_t n = image.size - offset < 256 ? image.size - offset : 256;
      ASSERT_EQ(f.payload.size(), 6u + n) << "frame " << i;
      EXPECT_EQ(be32(f.payload, 0), image.load_address + offset) << "frame " << i;
      EXPECT_EQ(size_t{f.payload[4]} << 8 | f.payload[5], n) << "frame " << i;
      EXPECT_TRUE(std::equal(f.payload.begin() + 6, f.payload.end(), image.bytes + offset))
          << "data of frame " << i;
      offset += n;
      break;
    }
    case CMD_JUMP:
      ASSERT_EQ(f.payload.size(), 4u);
      EXPECT_EQ(be32(f.payload, 0), image.load_address);
      EXPECT_EQ(i, frames.size() - 1) << "the jump comes last";
      break;
    default:
      ADD_FAILURE() << "frame " << i << " has command " << int{f.command};
    }
    ++i;
  }
  EXPECT_EQ(percent, 101);
  EXPECT_EQ(erase_address, image.load_address + 12 * 16384);
  EXPECT_EQ(offset, image.size);
}

void expect_clean_notices(const std::vector<Notice>& notices, bool with_end) {
  static const int32_t block_progress[12] = {19, 29, 39, 49, 59, 69, 79, 89, 99, 109, 119, 129};
  ASSERT_EQ(notices.size(), 1u + 2 * 12 + 2 * 704 + 1 + (with_end ? 1 : 0));
  size_t i = 0;
  auto next = [&]() -> const Notice& { return notices[i++]; };

  EXPECT_EQ(next().value, 0);
  char text[64];
  for (uint32_t b = 0; b < 12; ++b) {
    std::snprintf(text, sizeof text, "Erase address %08xh 16384 bytes", 0x4000u + b * 16384);
    const Notice& t = next();
    EXPECT_EQ(t.kind, NOTIFY_TEXT);
    EXPECT_EQ(t.text, text);
    const Notice& p = next();
    EXPECT_EQ(p.kind, NOTIFY_PROGRESS);
    EXPECT_EQ(p.value, block_progress[b]) << "block " << b;
  }
  int32_t previous = 0;
  for (uint32_t c = 0; c < 704; ++c) {
    std::snprintf(text, sizeof text, "Program address %08xh %d bytes", 0x4000u + c * 256,
                  c == 703 ? 68 : 256);
    const Notice& t = next();
    EXPECT_EQ(t.kind, NOTIFY_TEXT);
    EXPECT_EQ(t.text, text);
    const Notice& p = next();
    EXPECT_EQ(p.kind, NOTIFY_PROGRESS);
    if (c > 0) {
      EXPECT_TRUE(p.value == previous + 1 || p.value == previous + 2) << "chunk " << c;
    }
    previous = p.value;
  }
  EXPECT_EQ(notices[2 + 2 * 12].value, 122);
  EXPECT_EQ(notices[2 + 2 * 12 + 8].value, 127);
  EXPECT_EQ(notices[2 + 2 * 12 + 2 * 702].value, 999);
  EXPECT_EQ(previous, 1000);
  const Notice& success = next();
  EXPECT_EQ(success.kind, NOTIFY_TEXT);
  EXPECT_EQ(success.text, "Program success, starting application...");
  if (with_end) {
    const Notice& done = next();
    EXPECT_EQ(done.kind, NOTIFY_DONE);
    EXPECT_EQ(done.value, 0);
  }
  EXPECT_EQ(progress_of(notices).size(), 717u);
}

Bytes RecordingPort::written() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return written_;
}

bool RecordingPort::read(uint8_t* buffer, size_t capacity, size_t* got) {
  return inner_->read(buffer, capacity, got);
}

bool RecordingPort::write(const uint8_t* data, size_t size) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    written_.insert(written_.end(), data, data + size);
  }
  return inner_->write(data, size);
}
