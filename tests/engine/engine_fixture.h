// A context over an in-memory line with a fake clock that moves one second
// per read unless a test says otherwise.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "link/engine.h"
#include "link/messages.h"
#include "tests/support/fake_clock.h"
#include "tests/support/scripted_line.h"
#include "tests/support/wire.h"

class EngineTest : public ::testing::Test {
protected:
  EngineTest() {
    clock.set_second(10);
    line.set_read_hook([this] { clock.on_read(); });
  }

  uint8_t start() { return link_exchange(&ctx, &port, 1, 0); }
  uint8_t exchange(int32_t cancel = 0) { return link_exchange(&ctx, &port, 0, cancel); }

  // Progress 0 in flight, progress 1 queued behind it.
  void start_with_one_queued() {
    queue_progress(0);
    EXPECT_EQ(start(), EXCHANGE_OK);
    queue_progress(1);
  }

  int8_t outcome(uint8_t result) { return link_outcome(&ctx, static_cast<int8_t>(result), text); }

  void queue_progress(uint8_t percent) { msg_progress_encode(&ctx, nullptr, percent); }
  void queue_erase(uint32_t address, uint32_t size) {
    msg_erase_encode(&ctx, nullptr, address, size);
  }
  void queue_program(uint32_t address, uint16_t size) {
    Bytes data(size);
    for (uint16_t i = 0; i < size; ++i) {
      data[i] = static_cast<uint8_t>(i * 7);
    }
    msg_program_encode(&ctx, nullptr, address, data.data(), size);
  }

  // The payload of the frame the engine wrote `index`-th.
  Bytes written_payload(size_t index) {
    const Bytes frame = line.writes().at(index);
    return Bytes(frame.begin() + 5, frame.end() - 2);
  }

  LinkContext ctx{};
  FakeClock clock;
  ScriptedLine line;
  PortHandle port = line.handle();
  char text[LINK_TEXT_SIZE] = "untouched";
};

inline Bytes erase_payload(uint32_t address, uint32_t size) {
  return {static_cast<uint8_t>(address >> 24), static_cast<uint8_t>(address >> 16),
          static_cast<uint8_t>(address >> 8),  static_cast<uint8_t>(address),
          static_cast<uint8_t>(size >> 24),    static_cast<uint8_t>(size >> 16),
          static_cast<uint8_t>(size >> 8),     static_cast<uint8_t>(size)};
}
