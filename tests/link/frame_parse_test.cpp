#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "link/frame.h"

namespace {

using Bytes = std::vector<uint8_t>;

// Framed by hand so that the parser is not checked against its own builder.
Bytes frame(uint8_t seq, uint8_t cmd, const Bytes& payload) {
  const auto n = static_cast<uint16_t>(payload.size());
  Bytes f{FRAME_STX, seq, cmd, static_cast<uint8_t>(n >> 8), static_cast<uint8_t>(n)};
  uint8_t x = seq ^ cmd ^ f[3] ^ f[4];
  for (uint8_t b : payload) {
    f.push_back(b);
    x ^= b;
  }
  f.push_back(x);
  f.push_back(FRAME_ETX);
  return f;
}

Bytes counting(size_t n, uint8_t first = 0) {
  Bytes b(n);
  for (size_t i = 0; i < n; ++i) {
    b[i] = static_cast<uint8_t>(first + i);
  }
  return b;
}

Bytes operator+(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

struct Event {
  uint8_t result;
  size_t end; // stream offset just past the byte that gave the result
  uint8_t sequence;
  uint8_t command;
  Bytes payload;
  bool operator==(const Event& o) const {
    return result == o.result && end == o.end && sequence == o.sequence && command == o.command &&
           payload == o.payload;
  }
};

void PrintTo(const Event& e, std::ostream* os) {
  *os << "result " << int(e.result) << " at " << e.end << " seq " << int(e.sequence) << " cmd "
      << int(e.command) << " payload " << e.payload.size() << " bytes";
}

struct Outcome {
  std::vector<Event> events;
  Bytes stray;
};

// Feeds `stream` in pieces ending at `cuts` (ascending), each piece in its
// own exactly sized buffer, the way the engine hands over one read at a time.
Outcome feed(const Bytes& stream, std::vector<size_t> cuts) {
  LinkContext ctx{};
  Outcome run;
  cuts.push_back(stream.size());
  size_t start = 0;
  for (size_t cut : cuts) {
    const Bytes piece(stream.begin() + start, stream.begin() + cut);
    const auto count = static_cast<int16_t>(piece.size());
    int16_t pos = 0;
    while (pos < count) {
      uint8_t stray[LINK_STRAY_AREA_SIZE];
      int16_t stray_count = -1;
      const int16_t before = pos;
      const uint8_t r = frame_parse(&ctx, piece.data(), &pos, count, stray, &stray_count);
      EXPECT_GT(pos, before);
      EXPECT_LE(pos, count);
      run.stray.insert(run.stray.end(), stray, stray + stray_count);
      if (r != PARSE_MORE) {
        EXPECT_EQ(ctx.rx_state, RX_WAIT_STX);
        Event e{r, start + static_cast<size_t>(pos), 0, 0, {}};
        if (r == PARSE_FRAME) {
          e.sequence = ctx.received.sequence;
          e.command = ctx.received.command;
          e.payload.assign(ctx.received.payload, ctx.received.payload + ctx.received.length);
        }
        run.events.push_back(e);
      } else {
        EXPECT_EQ(pos, count);
      }
    }
    start = cut;
  }
  return run;
}

class FrameParseStream : public ::testing::Test {
protected:
  void SetUp() override {
    Bytes program = counting(262);
    program[10] = FRAME_STX;
    program[11] = FRAME_ETX;
    const Bytes progress = frame(1, CMD_PROGRESS, {0x32});
    Bytes bad_sum = progress;
    bad_sum[6] ^= 0x40;
    Bytes no_etx = frame(6, CMD_JUMP, {0, 0, 0x40, 0});
    no_etx.back() = 0x04;

    stream = Bytes{'x', 'y'} + progress + Bytes{0x03, 0x00};
    program_end = stream.size() + 269;
    stream = stream + frame(2, CMD_PROGRAM, program) + frame(3, CMD_ACK, {2, 0});
    // Unknown command 0x41: the rest of that frame arrives as stray bytes.
    bad_command_end = stream.size() + 3;
    stream = stream + Bytes{0x02, 0x04, 0x41, 0x00, 0x01, 0x55, 0x11, 0x03};
    bad_length_end = stream.size() + 5;
    stream = stream + Bytes{0x02, 0x05, 0x70, 0x01, 0x08, 0x10, 0x20};
    bad_sum_end = stream.size() + 7;
    stream = stream + bad_sum;
    no_etx_end = stream.size() + no_etx.size();
    stream = stream + no_etx + frame(0xFF, CMD_NAK, {}) + Bytes{'z'};

    expected_stray =
        Bytes{'x', 'y', 0x03, 0x00, 0x00, 0x01, 0x55, 0x11, 0x03, 0x10, 0x20, 0x03, 'z'};
    program_payload = program;
  }

  Bytes stream;
  Bytes program_payload;
  Bytes expected_stray;
  size_t program_end = 0, bad_command_end = 0, bad_length_end = 0, bad_sum_end = 0, no_etx_end = 0;
};

TEST_F(FrameParseStream, WholeInputGivesEveryFrameAndErrorAtItsByte) {
  const Outcome run = feed(stream, {});
  const std::vector<Event> expected{
      {PARSE_FRAME, 10, 1, CMD_PROGRESS, {0x32}},
      {PARSE_FRAME, program_end, 2, CMD_PROGRAM, program_payload},
      {PARSE_FRAME, program_end + 9, 3, CMD_ACK, {2, 0}},
      {PARSE_BAD_COMMAND, bad_command_end, 0, 0, {}},
      {PARSE_BAD_LENGTH, bad_length_end, 0, 0, {}},
      {PARSE_BAD_CHECKSUM, bad_sum_end, 0, 0, {}},
      {PARSE_NO_ETX, no_etx_end, 0, 0, {}},
      {PARSE_FRAME, no_etx_end + 7, 0xFF, CMD_NAK, {}},
  };
  EXPECT_EQ(run.events, expected);
  EXPECT_EQ(run.stray, expected_stray);
}

TEST_F(FrameParseStream, ResultsDoNotDependOnHowTheInputIsCut) {
  const Outcome whole = feed(stream, {});

  std::vector<size_t> every_byte;
  for (size_t i = 1; i < stream.size(); ++i) {
    every_byte.push_back(i);
  }
  const Outcome bytewise = feed(stream, every_byte);
  EXPECT_EQ(bytewise.events, whole.events);
  EXPECT_EQ(bytewise.stray, whole.stray);

  for (size_t cut = 0; cut <= stream.size(); ++cut) {
    const Outcome split = feed(stream, {cut});
    ASSERT_EQ(split.events, whole.events) << "cut at " << cut;
    ASSERT_EQ(split.stray, whole.stray) << "cut at " << cut;
  }

  std::mt19937 rng(20261208);
  for (int trial = 0; trial < 300; ++trial) {
    std::vector<size_t> cuts;
    for (size_t at = rng() % 40; at < stream.size(); at += 1 + rng() % 40) {
      cuts.push_back(at);
    }
    const Outcome split = feed(stream, cuts);
    ASSERT_EQ(split.events, whole.events) << "trial " << trial;
    ASSERT_EQ(split.stray, whole.stray) << "trial " << trial;
  }
}

TEST(FrameParse, EachFormatErrorStopsAtItsByteAndTheNextFrameStillArrives) {
  struct Case {
    Bytes input;
    uint8_t result;
    int16_t consumed;
    Bytes leftover_stray;
  };
  const std::vector<Case> cases{
      {{0x02, 0x01, 0x41, 0x00, 0x01, 0x32, 0x17, 0x03},
       PARSE_BAD_COMMAND,
       3,
       {0x00, 0x01, 0x32, 0x17, 0x03}},
      {{0x02, 0x01, 0x70, 0x01, 0x08}, PARSE_BAD_LENGTH, 5, {}},
      {{0x02, 0x01, 0x70, 0xFF, 0xFF}, PARSE_BAD_LENGTH, 5, {}},
      {{0x02, 0x01, 0x25, 0x00, 0x01, 0x32, 0x18, 0x03}, PARSE_BAD_CHECKSUM, 7, {0x03}},
      {{0x02, 0x01, 0x25, 0x00, 0x01, 0x32, 0x17, 0x02}, PARSE_NO_ETX, 8, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.input));
    LinkContext ctx{};
    ctx.received.payload[0] = 0xEE;
    const Bytes input = c.input + frame(9, CMD_ACK, {9, 0});
    const auto count = static_cast<int16_t>(input.size());
    int16_t pos = 0;
    uint8_t stray[LINK_STRAY_AREA_SIZE];
    int16_t stray_count = -1;
    EXPECT_EQ(frame_parse(&ctx, input.data(), &pos, count, stray, &stray_count), c.result);
    EXPECT_EQ(pos, c.consumed);
    EXPECT_EQ(ctx.rx_state, RX_WAIT_STX);
    EXPECT_EQ(stray_count, 0);
    if (c.result == PARSE_BAD_COMMAND || c.result == PARSE_BAD_LENGTH) {
      EXPECT_EQ(ctx.received.payload[0], 0xEE); // no payload byte stored
    }

    EXPECT_EQ(frame_parse(&ctx, input.data(), &pos, count, stray, &stray_count), PARSE_FRAME);
    EXPECT_EQ(pos, count);
    EXPECT_EQ(Bytes(stray, stray + stray_count), c.leftover_stray);
    EXPECT_EQ(ctx.received.sequence, 9);
  }
}

TEST(FrameParse, EveryUnknownCommandByteIsRefusedOnThatByte) {
  for (int b = 0; b < 256; ++b) {
    const auto cmd = static_cast<uint8_t>(b);
    LinkContext ctx{};
    const Bytes input = frame(1, cmd, {});
    int16_t pos = 0;
    const uint8_t r =
        frame_parse(&ctx, input.data(), &pos, static_cast<int16_t>(input.size()), nullptr, nullptr);
    EXPECT_EQ(r, is_known_command(cmd) ? PARSE_FRAME : PARSE_BAD_COMMAND) << b;
    EXPECT_EQ(pos, is_known_command(cmd) ? 7 : 3) << b;
  }
}

TEST(FrameParse, AcceptsEveryLengthUpTo263AndRefuses264) {
  for (uint16_t n : {0, 1, 255, 256, 262, 263}) {
    LinkContext ctx{};
    const Bytes payload = counting(n, 0x01);
    const Bytes input = frame(4, CMD_NAK, payload);
    int16_t pos = 0;
    EXPECT_EQ(frame_parse(&ctx, input.data(), &pos, static_cast<int16_t>(input.size()), nullptr,
                          nullptr),
              PARSE_FRAME)
        << n;
    EXPECT_EQ(ctx.received.length, n);
    EXPECT_EQ(Bytes(ctx.received.payload, ctx.received.payload + n), payload);
  }
  LinkContext ctx{};
  const Bytes too_long = frame(4, CMD_NAK, counting(264));
  int16_t pos = 0;
  EXPECT_EQ(frame_parse(&ctx, too_long.data(), &pos, static_cast<int16_t>(too_long.size()), nullptr,
                        nullptr),
            PARSE_BAD_LENGTH);
  EXPECT_EQ(pos, 5);
}

TEST(FrameParse, KeepsAtMost127StrayBytesPerCallAndDropsTheRest) {
  Bytes noise(LINK_READ_SIZE, 0x55);
  noise[0] = 0x01;
  noise[126] = 0x7E;
  // Exactly sized heap area: AddressSanitizer reports any byte written past it.
  Bytes area(LINK_STRAY_AREA_SIZE, 0xEE);
  LinkContext ctx{};
  int16_t pos = 0;
  int16_t stray_count = -1;
  EXPECT_EQ(frame_parse(&ctx, noise.data(), &pos, LINK_READ_SIZE, area.data(), &stray_count),
            PARSE_MORE);
  EXPECT_EQ(pos, LINK_READ_SIZE);
  EXPECT_EQ(stray_count, LINK_STRAY_AREA_SIZE - 1);
  EXPECT_EQ(Bytes(area.begin(), area.end() - 1), Bytes(noise.begin(), noise.begin() + 127));
  EXPECT_EQ(area.back(), 0xEE);

  // The program-wide area, and no area at all.
  EXPECT_EQ(frame_parse(&ctx, noise.data(), nullptr, LINK_READ_SIZE, link_stray_area,
                        &link_stray_count),
            PARSE_MORE);
  EXPECT_EQ(link_stray_count, 127);
  EXPECT_EQ(frame_parse(&ctx, noise.data(), nullptr, LINK_READ_SIZE, nullptr, &stray_count),
            PARSE_MORE);
  EXPECT_EQ(stray_count, 0);

  // Noise before a frame in the same read does not disturb it.
  const Bytes input = noise + frame(1, CMD_ACK, {1, 0});
  pos = 0;
  EXPECT_EQ(frame_parse(&ctx, input.data(), &pos, static_cast<int16_t>(input.size()), area.data(),
                        &stray_count),
            PARSE_FRAME);
  EXPECT_EQ(pos, static_cast<int16_t>(input.size()));
  EXPECT_EQ(stray_count, 127);
}

TEST(FrameParse, MissingArgumentsParseNothing) {
  LinkContext ctx{};
  const Bytes input = frame(1, CMD_ACK, {1, 0});
  int16_t pos = 0;
  int16_t stray_count = -1;
  EXPECT_EQ(frame_parse(nullptr, input.data(), &pos, 9, nullptr, &stray_count), PARSE_MORE);
  EXPECT_EQ(frame_parse(&ctx, nullptr, &pos, 9, nullptr, &stray_count), PARSE_MORE);
  EXPECT_EQ(frame_parse(&ctx, input.data(), &pos, 0, nullptr, &stray_count), PARSE_MORE);
  EXPECT_EQ(frame_parse(&ctx, input.data(), &pos, -5, nullptr, &stray_count), PARSE_MORE);
  EXPECT_EQ(pos, 0);
  EXPECT_EQ(stray_count, 0);
  EXPECT_EQ(ctx.rx_state, RX_WAIT_STX);
  // Without a position the input is read from its start.
  EXPECT_EQ(frame_parse(&ctx, input.data(), nullptr, 9, nullptr, nullptr), PARSE_FRAME);
}

} // namespace
