// The port handle seam. The link reads and writes the controller's line only
// through this interface, so it runs unchanged on a POSIX port, a Win32 port
// or an in-memory line in a test. No OS headers here.
#pragma once

#include <cstddef>
#include <cstdint>

// The caller's judgement of the bytes a read holds so far: how many more it
// waits for at least. The port knows nothing of what the bytes mean.
class ReadCheck {
public:
  // The fewest further bytes that could make data[0..size) all the caller
  // waits for; 0 when it already is. Never more than the caller may get, so
  // a port that asks its driver for exactly this many never waits for bytes
  // that are not coming.
  virtual size_t missing(const uint8_t* data, size_t size) const = 0;
  bool complete(const uint8_t* data, size_t size) const { return missing(data, size) == 0; }

protected:
  ~ReadCheck() = default;
};

class SerialPort {
public:
  virtual ~SerialPort() = default;
  // Reads up to `capacity` bytes. Returns false on a read error (a pulled
  // cable, a hang-up). On success *got is the number of bytes read, possibly
  // 0: a read returns once bytes have come and the line went quiet, or after
  // its time-out (about 257 ms on a real port) with nothing.
  virtual bool read(uint8_t* buffer, size_t capacity, size_t* got) = 0;
  // The same read, except that it may also end as soon as `check` finds the
  // bytes in hand complete, without waiting for the line to go quiet. A port
  // that cannot tell when bytes arrive reads as read() does.
  virtual bool read_until(uint8_t* buffer, size_t capacity, size_t* got, const ReadCheck& check) {
    (void)check;
    return read(buffer, capacity, got);
  }
  // Writes one whole frame. Returns false on a write error.
  virtual bool write(const uint8_t* data, size_t size) = 0;
};

// An opaque, pointer-sized handle of an open port; 0 means no port is open.
using PortHandle = std::uintptr_t;

inline SerialPort* port_from_handle(PortHandle handle) {
  return reinterpret_cast<SerialPort*>(handle);
}
inline PortHandle handle_from_port(SerialPort* port) {
  return reinterpret_cast<PortHandle>(port);
}
