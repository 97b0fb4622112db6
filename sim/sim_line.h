// An in-memory serial line with a simulated controller at its far end, for
// tests and benchmarks that run the upgrader in-process. Answers are
// available at once: pacing belongs to the pseudo-terminal program, so
// tests never wait for a line.
#pragma once

#include <deque>
#include <functional>
#include <mutex>
#include <vector>

#include "link/port.h"
#include "sim/sim_controller.h"

class SimLine : public SerialPort {
public:
  explicit SimLine(SimConfig config = SimConfig());

  // Returns what the controller has answered so far, up to `capacity`
  // bytes, or one byte when the answer is to arrive byte by byte. Fails once
  // the line is closed. The read hook runs first, on every call.
  bool read(uint8_t* buffer, size_t capacity, size_t* got) override;
  // Hands the host's bytes to the controller. Fails once the line is closed.
  bool write(const uint8_t* data, size_t size) override;

  // Runs on every read, e.g. to move a fake clock on while the host waits.
  void set_read_hook(std::function<void()> hook);
  // The cable is pulled: every later read and write fails.
  void close();

  bool closed() const;
  // Bytes answered but not read yet.
  size_t unread() const;
  // The time the answers so far would have taken on a paced line.
  uint64_t total_delay_us() const;

  // Inspect these once the host has stopped using the line.
  const SimController& controller() const { return controller_; }
  PortHandle handle() { return handle_from_port(this); }

private:
  struct Chunk {
    std::vector<uint8_t> bytes;
    size_t taken = 0;
    bool byte_at_a_time = false;
  };

  mutable std::mutex mutex_;
  SimController controller_;
  std::deque<Chunk> unread_;
  std::function<void()> hook_;
  uint64_t delay_us_ = 0;
  bool closed_ = false;
};
