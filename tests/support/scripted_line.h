// A serial line in memory for unit tests. Reads serve scripted chunks, one
// chunk per read (a chunk longer than the read's capacity is served over
// several reads); with nothing scripted a read succeeds with 0 bytes, as a
// real port does when its time-out ends. Every write is kept as one frame.
//
//   ScriptedLine line;
//   line.push_read({0x02, 0x01, 0x06, 0x00, 0x02, 0x05, 0x00, 0x00, 0x03});
//   PortHandle handle = line.handle();
//   link_exchange(&ctx, &handle, 0, 0);
//   line.writes();               // what the engine sent
//
// Hooks run on the thread that reads or writes, outside the line's lock, so
// they may call back into the line (a write hook may push_read an answer).
// Everything else is safe to call from any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <vector>

#include "link/port.h"
#include "tests/support/wire.h"

class ScriptedLine final : public SerialPort {
public:
  PortHandle handle() { return handle_from_port(this); }

  // Queues what one later read returns.
  void push_read(Bytes chunk);
  // Reads (or writes) fail while set.
  void fail_reads(bool fail);
  void fail_writes(bool fail);
  // Called at the start of every read; typically advances a FakeClock.
  void set_read_hook(std::function<void()> hook);
  // Called with each frame after it has been recorded.
  void set_write_hook(std::function<void(const Bytes&)> hook);

  Bytes::size_type pending_reads() const; // scripted chunks not read yet
  size_t read_count() const;              // read calls so far, failed ones included
  std::vector<Bytes> writes() const;      // every successful write, in order
  void clear_writes();                    // and the verdicts
  // What the reader's check said of each read_until that brought bytes: true
  // where a real port would have ended the read without waiting for quiet.
  std::vector<bool> verdicts() const;

  bool read(uint8_t* buffer, size_t capacity, size_t* got) override;
  // Serves the next chunk as read() does and notes the check's verdict.
  bool read_until(uint8_t* buffer, size_t capacity, size_t* got, const ReadCheck& check) override;
  bool write(const uint8_t* data, size_t size) override;

private:
  mutable std::mutex mutex_;
  std::deque<Bytes> chunks_;
  std::vector<Bytes> writes_;
  std::vector<bool> verdicts_;
  std::function<void()> read_hook_;
  std::function<void(const Bytes&)> write_hook_;
  size_t reads_ = 0;
  bool fail_reads_ = false;
  bool fail_writes_ = false;
};
