// The fakes other tests stand on.
#include <gtest/gtest.h>

#include "tests/support/fake_clock.h"
#include "tests/support/scripted_line.h"

namespace {

TEST(ScriptedLine, ServesOneChunkPerReadWithinTheCapacity) {
  ScriptedLine line;
  line.push_read({1, 2, 3, 4, 5});
  line.push_read({});
  line.push_read({6});
  uint8_t buffer[4];
  size_t got = 99;

  ASSERT_TRUE(line.read(buffer, 3, &got));
  EXPECT_EQ(Bytes(buffer, buffer + got), (Bytes{1, 2, 3}));
  ASSERT_TRUE(line.read(buffer, 3, &got));
  EXPECT_EQ(Bytes(buffer, buffer + got), (Bytes{4, 5}));
  ASSERT_TRUE(line.read(buffer, 3, &got));
  EXPECT_EQ(got, 0u);
  ASSERT_TRUE(line.read(buffer, 3, &got));
  EXPECT_EQ(got, 1u);
  ASSERT_TRUE(line.read(buffer, 3, &got)); // nothing left: a quiet line
  EXPECT_EQ(got, 0u);
  EXPECT_EQ(line.read_count(), 5u);

  line.fail_reads(true);
  EXPECT_FALSE(line.read(buffer, 3, &got));
}

TEST(ScriptedLine, WritesAreKeptAndAWriteHookMayAnswer) {
  ScriptedLine line;
  line.set_write_hook([&](const Bytes& frame) { line.push_read(wire_ack(frame[1])); });
  const uint8_t frame[] = {0x02, 0x09, 0x25, 0x00, 0x01, 0x00, 0x2D, 0x03};
  ASSERT_TRUE(line.write(frame, sizeof frame));
  EXPECT_EQ(line.writes(), (std::vector<Bytes>{Bytes(frame, frame + sizeof frame)}));
  EXPECT_EQ(line.pending_reads(), 1u);

  line.fail_writes(true);
  EXPECT_FALSE(line.write(frame, sizeof frame));
  EXPECT_EQ(line.writes().size(), 1u);
}

TEST(Wire, FramesCarryTheirChecksum) {
  EXPECT_EQ(wire_frame(1, 0x25, {0x32}), (Bytes{0x02, 0x01, 0x25, 0x00, 0x01, 0x32, 0x17, 0x03}));
  EXPECT_EQ(wire_nak(5), (Bytes{0x02, 0x05, 0x15, 0x00, 0x00, 0x10, 0x03}));
}

TEST(FakeClock, WrapsAtTheMinuteAndRestoresTheClockItReplaced) {
  const LinkClock before = link_set_clock(nullptr);
  link_set_clock(before);
  {
    FakeClock clock;
    clock.set_time(59, 900);
    EXPECT_EQ(current_second(), 59);
    clock.set_step_ms(100);
    clock.on_read();
    EXPECT_EQ(current_second(), 0);
    clock.advance(61);
    EXPECT_EQ(current_second(), 1);
    EXPECT_EQ(clock.elapsed_ms(), 61100);
  }
  EXPECT_EQ(link_set_clock(before), before);
}

} // namespace
