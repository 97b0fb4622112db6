#include "tests/upgrade/upgrade_fixture.h"

#include <cstring>

SentFrame sent_frame(const Bytes& frame) {
  SentFrame f;
  if (frame.size() >= 7) {
    f.sequence = frame[1];
    f.command = frame[2];
    f.payload.assign(frame.begin() + 5, frame.end() - 2);
  }
  return f;
}

uint32_t be32(const Bytes& bytes, size_t at) {
  return uint32_t{bytes.at(at)} << 24 | uint32_t{bytes.at(at + 1)} << 16 |
         uint32_t{bytes.at(at + 2)} << 8 | bytes.at(at + 3);
}

std::vector<Notice> drain(NoticeQueue& queue, int timeout_ms) {
  std::vector<Notice> seen;
  Notice n;
  while (queue.wait_pop(n, timeout_ms)) {
    const bool done = n.kind == NOTIFY_DONE;
    seen.push_back(std::move(n));
    if (done) {
      break;
    }
  }
  return seen;
}

std::vector<Notice> drain_run(NoticeQueue& queue, int timeout_ms) {
  std::vector<Notice> seen = drain(queue, timeout_ms);
  EXPECT_TRUE(!seen.empty() && seen.back().kind == NOTIFY_DONE) << "no end notice";
  return seen;
}

std::vector<std::string> texts_of(const std::vector<Notice>& notices) {
  std::vector<std::string> texts;
  for (const Notice& n : notices) {
    if (n.kind == NOTIFY_TEXT) {
      texts.push_back(n.text);
    }
  }
  return texts;
}

std::vector<int32_t> progress_of(const std::vector<Notice>& notices) {
  std::vector<int32_t> values;
  for (const Notice& n : notices) {
    if (n.kind == NOTIFY_PROGRESS) {
      values.push_back(n.value);
    }
  }
  return values;
}

UpgradeTest::UpgradeTest() {
  clock.set_second(30);
  line.set_read_hook([this] { clock.on_read(); });
  line.set_write_hook([this](const Bytes& frame) {
    const size_t index = frames_written++;
    const auto action = on_write.find(index);
    if (action != on_write.end()) {
      action->second();
    }
    const auto scripted = answers.find(index);
    if (scripted == answers.end()) {
      line.push_read(wire_ack(frame.size() > 1 ? frame[1] : 0));
    } else if (!scripted->second.empty()) {
      line.push_read(scripted->second);
    }
  });
}

void UpgradeTest::prime() {
  upgrade_prepare_run(&worker, &queue, line.handle());
}

void UpgradeTest::forget_writes() {
  line.clear_writes();
  frames_written = 0;
}

std::vector<SentFrame> UpgradeTest::sent() const {
  std::vector<SentFrame> frames;
  for (const Bytes& b : line.writes()) {
    frames.push_back(sent_frame(b));
  }
  return frames;
}
