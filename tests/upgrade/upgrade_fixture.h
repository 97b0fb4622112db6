// A worker record over an in-memory line whose controller acknowledges every
// frame with the frame's own number, unless a test scripts another answer for
// a frame. Notices are collected from a queue.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "notify/notice_queue.h"
#include "tests/support/fake_clock.h"
#include "tests/support/scripted_line.h"
#include "tests/support/wire.h"
#include "upgrade/firmware.h"
#include "upgrade/worker.h"

// A frame as the upgrader put it on the line, read with the wire format alone.
struct SentFrame {
  uint8_t sequence = 0;
  uint8_t command = 0;
  Bytes payload;
};
SentFrame sent_frame(const Bytes& frame);
uint32_t be32(const Bytes& bytes, size_t at);

std::vector<Notice> drain(NoticeQueue& queue, int timeout_ms = 0);
// Notices until the end notice (included); fails the test if none comes in time.
std::vector<Notice> drain_run(NoticeQueue& queue, int timeout_ms = 20000);
std::vector<std::string> texts_of(const std::vector<Notice>& notices);
std::vector<int32_t> progress_of(const std::vector<Notice>& notices);

// Answer for the frame with index n (from 0): an empty answer is silence.
using Answers = std::map<size_t, Bytes>;
// Something to do when the frame with index n has been written.
using WriteActions = std::map<size_t, std::function<void()>>;

class UpgradeTest : public ::testing::Test {
protected:
  UpgradeTest();

  // Sets the fields start() sets, for driving the steps on this thread.
  void prime();
  std::vector<SentFrame> sent() const;
  // Forgets what was written; the next frame has index 0 again.
  void forget_writes();

  // Both set before a run; used on the worker's thread.
  Answers answers;
  WriteActions on_write;
  std::atomic<size_t> frames_written{0};
  FakeClock clock;
  ScriptedLine line;
  NoticeQueue queue;
  UpgradeWorker worker;
  const FirmwareImage& image = firmware_image();
};
